#include <cstdio>
#include <filesystem>
#include <functional>
#include <string>
#include <system_error>
#include <type_traits>
#include <variant>
#include <vector>

#include <sys/stat.h>

#include <INIReader.h>
#include <spdlog/spdlog.h>

#include "startup/identity.h"
#include "startup/configuration.h"
#include "startup/configuration_keys.h"
#include "startup/reload_changes.h"
#include "startup/settings.h"

namespace fs = std::filesystem;

namespace {

// The program's directory as found at start; a reload has no program path
// and searches here first all the same.
fs::path& program_directory()
{
    static fs::path directory;
    return directory;
}

// A candidate counts only when its status query succeeds: absent files and
// queries that fail for any other reason (permissions, loops) are skipped.
bool exists_for_search(const fs::path& candidate)
{
    std::error_code ec;
    const fs::file_status status = fs::status(candidate, ec);
    return !ec && fs::exists(status);
}

// Where the faults of a load go: standard error at start, the log on a reload.
using Report = std::function<void(const std::string&)>;

void report_to_stderr(const std::string& line) { std::fprintf(stderr, "%s\n", line.c_str()); }
void report_to_log(const std::string& line) { spdlog::error("{}", line); }

// The daemon runs as root and takes its limits from this file: whoever can
// write it steers the host. Empty when the file is safe, else the reason.
std::string unsafe_reason(const fs::path& file)
{
    struct stat st {};
    if (::stat(file.c_str(), &st) != 0)
        return {};  // nothing to read; the load reports that itself
    if (st.st_uid != 0)
        return "not owned by root";
    if ((st.st_mode & S_IWOTH) != 0)
        return "writable by others";
    if ((st.st_mode & S_IWGRP) != 0 && st.st_gid != 0)
        return "writable by group " + std::to_string(st.st_gid);
    return {};
}

bool is_safe(const fs::path& file, const Report& report)
{
    const std::string reason = unsafe_reason(file);
    if (reason.empty())
        return true;
    report("Config file '" + file.string() + "' is not safe: " + reason + "; skipped");
    return false;
}

fs::path find_configuration(const Report& report)
{
    const std::string file_name = program_name() + ".config";
    std::vector<fs::path> candidates;
    if (!program_directory().empty())
        candidates.push_back(program_directory() / file_name);
    candidates.push_back(fs::path("/usr/local/etc/") / file_name);
    candidates.push_back(fs::path("/etc/") / file_name);
    for (const fs::path& candidate : candidates)
        if (exists_for_search(candidate) && is_safe(candidate, report))
            return candidate;
    return {};
}

void set_level(Settings& s, const std::string& name, const Report& report)
{
    if (!s.set_log_level(name))
        report("Unknown log level '" + name + "' (trace, debug, info, warn, err, critical, off)");
}

// Reads one key; a key the file does not hold takes its value from `fallback`.
void read_key(const INIReader& ini, const ConfigurationKey& key, Settings& s, const Settings& fallback,
              const Report& report)
{
    const std::string section(key.section);
    const std::string name(key.name);
    switch (key.kind) {
    case KeyKind::level: set_level(s, ini.Get(section, name, key_value_text(key, fallback)), report); return;
    case KeyKind::integer:
        // A 32-bit field keeps the low 32 bits of the parsed long.
        std::visit(
            [&](auto member) {
                using Value = std::decay_t<decltype(s.*member)>;
                if constexpr (std::is_integral_v<Value> && !std::is_same_v<Value, bool>)
                    s.*member = static_cast<Value>(ini.GetInteger(section, name, fallback.*member));
            },
            key.field);
        return;
    case KeyKind::boolean: {
        const auto member = std::get<bool Settings::*>(key.field);
        s.*member = ini.GetBoolean(section, name, fallback.*member);
        return;
    }
    case KeyKind::text: {
        const auto member = std::get<std::string Settings::*>(key.field);
        s.*member = ini.Get(section, name, fallback.*member);
        return;
    }
    case KeyKind::name_list:
        if (ini.HasValue(section, name))
            s.*std::get<std::vector<std::string> Settings::*>(key.field) =
                split_name_list(ini.Get(section, name, ""));
        else
            copy_key_value(key, fallback, s);
        return;
    }
}

// Keys the file does not hold take their values from `fallback`: the
// defaults when a file is loaded, the settings in force when text is read
// over them.
void read_keys(const INIReader& ini, Settings& s, const Settings& fallback, const Report& report)
{
    const Settings d = fallback;  // `s` and `fallback` may be one record
    for (const ConfigurationKey& key : configuration_keys())
        read_key(ini, key, s, d, report);
}

// False when the file cannot be opened or has a bad line; no key is read then.
bool read_file(Settings& s, const Report& report)
{
    // fopen() accepts a directory on some systems and then reads nothing,
    // which would pass for an empty file; treat it as the open failure it is.
    std::error_code ec;
    if (fs::is_directory(s.config_file, ec))
        return false;
    const INIReader ini(s.config_file.string());
    if (ini.ParseError() != 0)
        return false;
    read_keys(ini, s, Settings{}, report);
    return true;
}

void load(Settings& settings, const std::string& program_path, const std::string& config_option,
          const std::string& level_option, const Report& report)
{
    if (!program_path.empty()) {
        // Absolute first: weakly_canonical leaves a relative path relative
        // when its first component does not exist.
        std::error_code ec;
        fs::path program = fs::absolute(program_path, ec);
        if (!ec)
            program = fs::weakly_canonical(program, ec);
        program_directory() = ec ? fs::path() : program.parent_path();
    }

    if (!config_option.empty())
        settings.config_file = config_option;
    else
        settings.config_file = find_configuration(report);

    if (settings.config_file.empty()) {
        // `status` prints its answer on standard output for scripts
        // (`halvorn status json | jq`): the notice must not come first.
        std::fputs("No config file found. Using default parameters\n",
                   settings.command == "status" ? stderr : stdout);
    } else if (!config_option.empty() && !is_safe(settings.config_file, report)) {
        std::fputs("Using default parameters\n", stderr);
        settings.config_file.clear();
    } else if (!read_file(settings, report)) {
        std::fprintf(stderr, "Can't load config file: '%s'\n", settings.config_file.c_str());
        std::fputs("Using default parameters\n", stderr);
        settings.config_file.clear();
    }

    if (!level_option.empty())
        set_level(settings, level_option, report);
    apply_bounds(settings);
}

}  // namespace

bool read_configuration_text(Settings& settings, const std::string& text, std::string& error)
{
    const INIReader ini(text.data(), text.size());
    if (ini.ParseError() != 0) {
        error = ini.ParseError() > 0 ? "bad line " + std::to_string(ini.ParseError()) : "cannot be parsed";
        return false;
    }
    std::string unknown_level;
    read_keys(ini, settings, settings, [&unknown_level](const std::string& line) { unknown_level = line; });
    apply_bounds(settings);
    error = unknown_level;
    return unknown_level.empty();
}

void load_configuration(Settings& settings, const std::string& program_path, const std::string& config_option,
                        const std::string& level_option)
{
    load(settings, program_path, config_option, level_option, report_to_stderr);
}

void reload_configuration()
{
    Settings& settings = Settings::instance();
    // The timers run with the periods they were started with; taking a new
    // UpdateTime into the averaging weight would stretch or shrink the window.
    const int64_t update_time = settings.update_time;
    const int32_t update_vm_list = settings.update_vm_list;
    const Settings before = settings;
    load(settings, std::string(), std::string(), std::string(), report_to_log);
    spdlog::info("Configuration file: '{}'", settings.config_file.string());
    warn_of_reload_changes(before, settings);
    if (settings.update_time != update_time)
        spdlog::info("UpdateTime {} takes effect at the next start", settings.update_time);
    if (settings.update_vm_list != update_vm_list)
        spdlog::info("UpdateVMList {} takes effect at the next start", settings.update_vm_list);
    settings.update_time = update_time;
    settings.update_vm_list = update_vm_list;
}
