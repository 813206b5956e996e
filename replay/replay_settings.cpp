#include "replay/replay_settings.h"

#include <cerrno>
#include <cstdlib>
#include <strings.h>

namespace {

// Keys a replay cannot honour: the tick and the rebuilds come from the
// recording, and nothing is written.
bool fixed_by_recording(const ConfigurationKey& key)
{
    return key.name == "UpdateTime" || key.name == "UpdateVMList" || key.name == "MetricsFile" ||
           key.name == "RecordFile";
}

bool same_name(std::string_view a, std::string_view b)
{
    return a.size() == b.size() && ::strncasecmp(a.data(), b.data(), a.size()) == 0;
}

const ConfigurationKey* find_key(std::string_view section, std::string_view name, bool& section_known)
{
    section_known = false;
    for (const ConfigurationKey& key : configuration_keys()) {
        if (!same_name(key.section, section))
            continue;
        section_known = true;
        if (same_name(key.name, name))
            return &key;
    }
    return nullptr;
}

std::string check_value(const ConfigurationKey& key, const std::string& value)
{
    const std::string where = std::string(key.section) + "." + std::string(key.name);
    if (value.find('\n') != std::string::npos)
        return "a value for " + where + " holds a newline";
    switch (key.kind) {
    case KeyKind::integer: {
        char* end = nullptr;
        errno = 0;
        (void)std::strtol(value.c_str(), &end, 0);
        if (value.empty() || *end != '\0' || errno == ERANGE)
            return where + " takes a whole number, not '" + value + "'";
        return {};
    }
    case KeyKind::boolean:
        for (const char* word : {"true", "yes", "on", "1", "false", "no", "off", "0"})
            if (same_name(value, word))
                return {};
        return where + " takes true or false, not '" + value + "'";
    case KeyKind::level:
        if (Settings{}.set_log_level(value))
            return {};
        return where + " takes a level (trace, debug, info, warn, err, critical, off), not '" + value + "'";
    case KeyKind::text:
    case KeyKind::name_list: return {};
    }
    return {};
}

std::string ini_line(const ConfigurationKey& key, const std::string& value)
{
    return "[" + std::string(key.section) + "]\n" + std::string(key.name) + " = " + value + "\n";
}

}  // namespace

std::string add_setting(std::vector<SettingValues>& sets, std::string_view argument)
{
    const size_t dot = argument.find('.');
    const size_t equals = argument.find('=');
    if (dot == std::string_view::npos || equals == std::string_view::npos || dot > equals)
        return "--set takes SECTION.Key=VALUE, not '" + std::string(argument) + "'";
    const std::string_view section = argument.substr(0, dot);
    const std::string_view name = argument.substr(dot + 1, equals - dot - 1);
    bool section_known = false;
    const ConfigurationKey* key = find_key(section, name, section_known);
    if (key == nullptr)
        return section_known ? "no key " + std::string(name) + " in section " + std::string(section)
                             : "no section " + std::string(section);
    if (fixed_by_recording(*key))
        return std::string(key->section) + "." + std::string(key->name) + " cannot be replayed otherwise";

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
    for (const std::string& value : values)
        if (std::string error = check_value(*key, value); !error.empty())
            return error;

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
        text += std::string(key->name) + "=" + value;
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
        // The periods stay the recording's, and the replay still enforces.
        const auto update_time = out.update_time;
        const auto update_vm_list = out.update_vm_list;
        std::string ignored;
        (void)read_configuration_text(out, config_text_, ignored);
        out.dry_run = false;
        out.update_time = update_time;
        out.update_vm_list = update_vm_list;
    }
    for (const auto& [key, value] : combination) {
        std::string ignored;
        (void)read_configuration_text(out, ini_line(*key, value), ignored);
    }
    return readable;
}
