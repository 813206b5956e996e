#include "scenario.h"

#include <algorithm>
#include <set>
#include <sstream>

#include "common/demand_list.h"
#include "common/sim_paths.h"
#include "common/vm_state.h"

namespace vmmsim {
namespace {

constexpr int max_change_secs = 86400 * 365;

std::optional<VmSpec> make_vm(const std::vector<std::string>& fields, std::string& error)
{
    // fields: NAME VCPUS DEMAND [CLASS]
    if (fields.size() < 3 || fields.size() > 4) {
        error = "a VM needs NAME, VCPUS, DEMAND and optionally CLASS";
        return std::nullopt;
    }
    VmSpec vm_def;
    vm_def.name = fields[0];
    if (!valid_vm_name(vm_def.name)) {
        error = "bad VM name \"" + vm_def.name + "\" (letters, digits, . _ -, up to 31)";
        return std::nullopt;
    }
    if (!parse_int(fields[1], 0, max_vcpus, vm_def.vcpus)) {
        error = "VCPUS \"" + fields[1] + "\" must be 0.." + std::to_string(max_vcpus);
        return std::nullopt;
    }
    vm_def.demand = parse_demand_list(fields[2], vm_def.vcpus, error);
    if (!error.empty())
        return std::nullopt;
    if (fields.size() == 4 && !parse_int(fields[3], 0, max_class, vm_def.vcpu_class)) {
        error = "CLASS \"" + fields[3] + "\" must be 0.." + std::to_string(max_class);
        return std::nullopt;
    }
    return vm_def;
}

// fields: SECONDS demand NAME DEMAND
std::optional<DemandChange> make_change(const std::vector<std::string>& fields, const Scenario& scenario,
                                        std::string& error)
{
    if (fields.size() != 4 || fields[1] != "demand") {
        error = "a change needs SECONDS, \"demand\", NAME and DEMAND";
        return std::nullopt;
    }
    DemandChange change;
    if (!parse_int(fields[0], 0, max_change_secs, change.at_secs)) {
        error = "SECONDS \"" + fields[0] + "\" must be 0.." + std::to_string(max_change_secs);
        return std::nullopt;
    }
    change.vm = fields[2];
    auto vm = std::find_if(scenario.vms.begin(), scenario.vms.end(),
                           [&](const VmSpec& defined) { return defined.name == change.vm; });
    if (vm == scenario.vms.end()) {
        error = "unknown VM \"" + change.vm + "\" (a vm line must name it first)";
        return std::nullopt;
    }
    change.demand = parse_demand_list(fields[3], vm->vcpus, error);
    if (!error.empty())
        return std::nullopt;
    return change;
}

std::vector<std::string> split(const std::string& text, char separator)
{
    std::vector<std::string> parts;
    std::size_t start = 0;
    for (;;) {
        std::size_t at = text.find(separator, start);
        parts.push_back(text.substr(start, at == std::string::npos ? at : at - start));
        if (at == std::string::npos)
            return parts;
        start = at + 1;
    }
}

}  // namespace

std::optional<VmSpec> parse_vm_spec(const std::string& text, std::string& error)
{
    return make_vm(split(text, ':'), error);
}

bool parse_scenario(std::istream& in, Scenario& scenario, std::string& error)
{
    std::string line;
    for (int number = 1; std::getline(in, line); ++number) {
        if (std::size_t hash = line.find('#'); hash != std::string::npos)
            line.erase(hash);
        std::istringstream words(line);
        std::vector<std::string> fields;
        for (std::string word; words >> word;)
            fields.push_back(word);
        if (fields.empty())
            continue;
        std::string keyword = fields.front();
        fields.erase(fields.begin());
        std::string problem;
        if (keyword == "vm") {
            if (std::optional<VmSpec> vm_def = make_vm(fields, problem)) {
                scenario.vms.push_back(*vm_def);
                continue;
            }
        } else if (keyword == "knob") {
            int value = 0;
            if (fields.size() != 2 || !valid_knob_name(fields[0]))
                problem = "a knob needs NAME and VALUE";
            else if (!parse_int(fields[1], -2147483647 - 1, 2147483647, value))
                problem = "knob value \"" + fields[1] + "\" is not an int";
            else {
                scenario.knobs.emplace_back(fields[0], value);
                continue;
            }
        } else if (keyword == "at") {
            if (std::optional<DemandChange> change = make_change(fields, scenario, problem)) {
                scenario.changes.push_back(*change);
                continue;
            }
        } else {
            problem = "unknown keyword \"" + keyword + "\" (vm, knob or at)";
        }
        error = "line " + std::to_string(number) + ": " + problem;
        return false;
    }
    return true;
}

bool check_scenario(const Scenario& scenario, std::string& error)
{
    std::set<std::string> names;
    for (const VmSpec& vm : scenario.vms)
        if (!names.insert(vm.name).second) {
            error = "VM \"" + vm.name + "\" is named twice";
            return false;
        }
    return true;
}

}  // namespace vmmsim
