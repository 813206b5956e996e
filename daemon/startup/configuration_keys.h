#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "startup/settings.h"

// The keys of the configuration file, one row each: the reader, the INI
// writer of the record's headers, halvorn-replay's --set and its summary all
// walk this one table, so a new key is one row.

// How a key's value is read and written.
enum class KeyKind { integer, boolean, level, text, name_list };

// What else a key is to those who walk the table.
enum KeyFlag : unsigned {
    no_flags = 0,
    // A replay takes it from the recording: the ticks and the VM-list
    // rebuilds are recorded, and a replay writes no file.
    fixed_by_recording = 1u << 0,
    // The replay's summary shows it: the controller decides by it.
    in_summary = 1u << 1,
    // The summary shows it where it is not the default.
    in_summary_when_set = 1u << 2,
};

// The Settings member a key fills.
using SettingsField = std::variant<int32_t Settings::*, int64_t Settings::*, bool Settings::*,
                                   std::string Settings::*, std::vector<std::string> Settings::*>;

struct ConfigurationKey {
    std::string_view section;
    std::string_view name;
    KeyKind kind;
    SettingsField field;
    // Bounds of an integer key, which apply_bounds brings it into.
    std::optional<int64_t> lowest;
    std::optional<int64_t> highest;
    unsigned flags = no_flags;

    bool has(KeyFlag flag) const { return (flags & flag) != 0; }
};

// Every key the file may hold, in the order they are read.
std::span<const ConfigurationKey> configuration_keys();

// The key's value in `settings` as text that set_key_value and the file
// reader take back: a level by its name, "true" or "false", a name list's
// items joined by commas.
std::string key_value_text(const ConfigurationKey& key, const Settings& settings);

// Sets the key's field from `value` as the file would, but strictly: a
// whole number with nothing after it, a boolean word, a level name. Empty,
// or what is wrong with the value (the field then keeps its value). No
// bounds are applied.
std::string set_key_value(const ConfigurationKey& key, const std::string& value, Settings& settings);

// Copies the key's field from `from` into `to`.
void copy_key_value(const ConfigurationKey& key, const Settings& from, Settings& to);

// Brings the key's field into its bounds.
void clamp_to_bounds(const ConfigurationKey& key, Settings& settings);
