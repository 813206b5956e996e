// A simulated host as the runner starts it: VMs and knob settings, from a
// scenario file and the command line.
#pragma once

#include <istream>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace vmmsim {

struct VmSpec {
    std::string name;
    int vcpus = 1;
    std::vector<int> demand;  // one value per vCPU
    int vcpu_class = 1;
};

// What a VM's vCPUs want from a given second after the host is ready.
struct DemandChange {
    int at_secs = 0;
    std::string vm;
    std::vector<int> demand;  // one value per vCPU
};

struct Scenario {
    std::vector<VmSpec> vms;
    std::vector<std::pair<std::string, int>> knobs;  // in order; later ones win
    std::vector<DemandChange> changes;               // in order of the file
};

// NAME:VCPUS:DEMAND[:CLASS], DEMAND being "N" or "N,N,...".
std::optional<VmSpec> parse_vm_spec(const std::string& text, std::string& error);

// Lines "vm NAME VCPUS DEMAND [CLASS]", "knob NAME VALUE" and "at SECONDS
// demand NAME DEMAND", the last for a VM of an earlier line; '#' starts a
// comment, blank lines are skipped. Appends to `scenario`; on error returns
// false with the line number in `error`.
bool parse_scenario(std::istream& in, Scenario& scenario, std::string& error);

// Names must be unique across the scenario.
bool check_scenario(const Scenario& scenario, std::string& error);

}  // namespace vmmsim
