#pragma once

#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "startup/configuration.h"
#include "startup/configuration_keys.h"
#include "startup/settings.h"

// The settings a replay runs with: at each header of the recording, that
// header's settings without its dry run, then the CONFIG file's (its DryRun,
// UpdateTime and UpdateVMList aside), then one value of each --set.

struct SettingValues {
    const ConfigurationKey* key = nullptr;
    std::vector<std::string> values;
};

// The host's own knobs that an operator sets and a replay may set otherwise
// than recorded, by their kernel names ("hw.vmm.vcpu_limit.class.2" the
// section, "rate_limit" the key); the summary shows them where set.
std::span<const ConfigurationKey> host_knob_keys();
bool is_host_knob(const ConfigurationKey& key);

// How rows and notices name a key: a knob by its whole kernel name, else
// the key's own name.
std::string key_label(const ConfigurationKey& key);

// One value for each key set on the command line.
using Combination = std::vector<std::pair<const ConfigurationKey*, std::string>>;

// Takes "SECTION.Key=VALUE[,VALUE...]" or "KNOB=VALUE[,VALUE...]" (one VALUE for a name list, whose
// commas are its own); the values of a key given twice add up. Empty, or
// what is wrong with it.
std::string add_setting(std::vector<SettingValues>& sets, std::string_view argument);

// Every combination of the values, the first key's changing slowest.
std::vector<Combination> combinations(const std::vector<SettingValues>& sets);

// "OverloadBound=80 VCPU=2".
std::string describe(const Combination& combination);

// `combination` as a replay that ran with `used` took it: a value that the
// bounds (or another key's value) changed is shown as used, and the change
// is added to `changes` ("OverloadBound=150 is replayed as 99") unless it
// is there already.
Combination as_used(const Combination& combination, const Settings& used, std::vector<std::string>& changes);

class ReplaySettings {
public:
    // `config_text` is the CONFIG file's text, or empty. False, with
    // `error`, when it cannot be read.
    bool set_config(const std::string& config_text, std::string& error);

    // The settings at a header whose settings are `recorded`; false, with
    // `error`, when those cannot be read (the defaults stand in for them).
    bool settings(const std::string& recorded, const Combination& combination, Settings& out,
                  std::string& error) const;

    // `all` as replays from a header whose settings are `recorded` take
    // them (see as_used), each once: values the bounds bring to the same
    // make one combination.
    std::vector<Combination> used(const std::vector<Combination>& all, const std::string& recorded,
                                  std::vector<std::string>& changes) const;

private:
    std::string config_text_;
};
