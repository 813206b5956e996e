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

struct Scenario {
    std::vector<VmSpec> vms;
    std::vector<std::pair<std::string, int>> knobs;  // in order; later ones win
};

// NAME:VCPUS:DEMAND[:CLASS], DEMAND being "N" or "N,N,...".
std::optional<VmSpec> parse_vm_spec(const std::string& text, std::string& error);

// Lines "vm NAME VCPUS DEMAND [CLASS]" and "knob NAME VALUE"; '#' starts a
// comment, blank lines are skipped. Appends to `scenario`; on error returns
// false with the line number in `error`.
bool parse_scenario(std::istream& in, Scenario& scenario, std::string& error);

// Names must be unique across the scenario.
bool check_scenario(const Scenario& scenario, std::string& error);

}  // namespace vmmsim
