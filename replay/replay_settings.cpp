#include "replay/replay_settings.h"

#include <algorithm>

#include <strings.h>

namespace {

bool same_name(std::string_view a, std::string_view b)
{
    return a.size() == b.size() && ::strncasecmp(a.data(), b.data(), a.size()) == 0;
}

const ConfigurationKey* find_key(std::string_view section, std::string_view name, bool& section_known)
{
    section_known = false;
    for (const std::span<const ConfigurationKey> table : {configuration_keys(), host_knob_keys()})
        for (const ConfigurationKey& key : table) {
            if (!same_name(key.section, section))
                continue;
            section_known = true;
            if (same_name(key.name, name))
                return &key;
        }
    return nullptr;
}

}  // namespace

std::span<const ConfigurationKey> host_knob_keys()
{
    using S = Settings;
    // A class-2 limit of 0 would stop its VMs outright; the simulated kernel
    // takes a burst of up to a day, and one of 0 would judge at once.
    static const ConfigurationKey keys[] = {
        {"hw.vmm.vcpu_limit.class.2", "rate_limit", KeyKind::integer, &S::replayed_class2_rate_limit, 1, 100,
         in_summary_when_set},
        {"hw.vmm.vcpu_limit.class.1", "burst_secs", KeyKind::integer, &S::replayed_class1_burst_secs, 1,
         86400, in_summary_when_set},
    };
    return keys;
}

bool is_host_knob(const ConfigurationKey& key)
{
    const std::span<const ConfigurationKey> knobs = host_knob_keys();
    return &key >= knobs.data() && &key < knobs.data() + knobs.size();
}

std::string key_label(const ConfigurationKey& key)
{
    return is_host_knob(key) ? std::string(key.section) + "." + std::string(key.name) : std::string(key.name);
}

std::string add_setting(std::vector<SettingValues>& sets, std::string_view argument)
{
    // A knob's name holds dots of its own; a key's name holds none.
    const size_t equals = argument.find('=');
    const size_t dot = equals == std::string_view::npos ? argument.find('.') : argument.rfind('.', equals);
    if (dot == std::string_view::npos || equals == std::string_view::npos || dot > equals)
        return "--set takes SECTION.Key=VALUE, not '" + std::string(argument) + "'";
    const std::string_view section = argument.substr(0, dot);
    const std::string_view name = argument.substr(dot + 1, equals - dot - 1);
    bool section_known = false;
    const ConfigurationKey* key = find_key(section, name, section_known);
    if (key == nullptr)
        return section_known ? "no key " + std::string(name) + " in section " + std::string(section)
                             : "no section " + std::string(section);
    const std::string where = std::string(key->section) + "." + std::string(key->name);
    if (key->has(fixed_by_recording))
        return where + " cannot be replayed otherwise";

    std::vector<std::string> values;
    std::string_view rest = argument.substr(equals + 1);
    if (key->kind == KeyKind::name_list) {
        values.emplace_back(rest);
    } else {
        for (;;) {
            const size_t comma = rest.find(',');
            values.emplace_back(rest.substr(0, comma));
            if (comma == std::string_view::npos)
                break;
            rest.remove_prefix(comma + 1);
        }
    }
    for (const std::string& value : values) {
        // A sweep's rows travel as lines.
        if (value.find('\n') != std::string::npos)
            return "a value for " + where + " holds a newline";
        Settings probe;
        if (std::string error = set_key_value(*key, value, probe); !error.empty())
            return error;
    }

    for (SettingValues& set : sets)
        if (set.key == key) {
            set.values.insert(set.values.end(), values.begin(), values.end());
            return {};
        }
    sets.push_back({key, std::move(values)});
    return {};
}

std::vector<Combination> combinations(const std::vector<SettingValues>& sets)
{
    std::vector<Combination> all{Combination{}};
    for (const SettingValues& set : sets) {
        std::vector<Combination> longer;
        for (const Combination& start : all)
            for (const std::string& value : set.values) {
                Combination next = start;
                next.emplace_back(set.key, value);
                longer.push_back(std::move(next));
            }
        all = std::move(longer);
    }
    return all;
}

std::string describe(const Combination& combination)
{
    std::string text;
    for (const auto& [key, value] : combination) {
        if (!text.empty())
            text += ' ';
        text += key_label(*key) + "=" + value;
    }
    return text;
}

bool ReplaySettings::set_config(const std::string& config_text, std::string& error)
{
    Settings probe;
    if (!read_configuration_text(probe, config_text, error))
        return false;
    config_text_ = config_text;
    return true;
}

bool ReplaySettings::settings(const std::string& recorded, const Combination& combination, Settings& out,
                              std::string& error) const
{
    out = Settings{};
    const bool readable = read_configuration_text(out, recorded, error);
    if (!readable)
        out = Settings{};
    // The replay answers what enforcing would have done.
    out.dry_run = false;
    if (!config_text_.empty()) {
        // What the recording fixes stays the recording's, and the replay
        // still enforces.
        const Settings recorded = out;
        std::string ignored;
        (void)read_configuration_text(out, config_text_, ignored);
        for (const ConfigurationKey& key : configuration_keys())
            if (key.has(fixed_by_recording))
                copy_key_value(key, recorded, out);
        out.dry_run = false;
    }
    for (const auto& [key, value] : combination) {
        (void)set_key_value(*key, value, out);  // checked by add_setting
        apply_bounds(out);
        if (is_host_knob(*key))
            clamp_to_bounds(*key, out);
    }
    return readable;
}

Combination as_used(const Combination& combination, const Settings& used, std::vector<std::string>& changes)
{
    Combination shown;
    for (const auto& [key, value] : combination) {
        // Compared as the daemon reads them: "1" and "true" are one value.
        Settings asked = used;
        (void)set_key_value(*key, value, asked);
        const std::string taken = key_value_text(*key, used);
        if (key_value_text(*key, asked) == taken) {
            shown.emplace_back(key, value);
            continue;
        }
        shown.emplace_back(key, taken);
        const std::string change = key_label(*key) + "=" + value + " is replayed as " + taken;
        if (std::find(changes.begin(), changes.end(), change) == changes.end())
            changes.push_back(change);
    }
    return shown;
}

std::vector<Combination> ReplaySettings::used(const std::vector<Combination>& all,
                                              const std::string& recorded,
                                              std::vector<std::string>& changes) const
{
    std::vector<Combination> distinct;
    for (const Combination& combination : all) {
        Settings taken;
        std::string ignored;
        (void)settings(recorded, combination, taken, ignored);
        Combination shown = as_used(combination, taken, changes);
        if (std::find(distinct.begin(), distinct.end(), shown) == distinct.end())
            distinct.push_back(std::move(shown));
    }
    return distinct;
}
