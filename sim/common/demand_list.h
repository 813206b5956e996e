// "100" or "100,50,0,0": what each vCPU of a VM wants, in percent of a CPU.
#pragma once

#include <string>
#include <vector>

namespace vmmsim {

// One value for every vCPU, or exactly one value per vCPU. Returns one value
// per vCPU; on error returns nothing and sets `error`.
std::vector<int> parse_demand_list(const std::string& text, int vcpus, std::string& error);
std::string format_demand_list(const std::vector<int>& demand);

// A decimal int within [min, max], nothing else around it.
bool parse_int(const std::string& text, int min, int max, int& value);

}  // namespace vmmsim
