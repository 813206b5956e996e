// Where a simulated host keeps its state. Every piece of the simulator (runner,
// supervisors, bhyve processes, libvmmapi.so) derives its paths from here, so
// two hosts with different roots never see each other.
#pragma once

#include <string>
#include <string_view>

namespace vmmsim {

inline constexpr const char* default_root = "/var/run/vmmsim";
inline constexpr std::size_t max_vm_name = 31;

// $VMMSIM_ROOT, or the default when unset or empty.
std::string root_dir();

std::string vms_dir(const std::string& root);
std::string vm_dir(const std::string& root, std::string_view name);
std::string state_path(const std::string& root, std::string_view name);
std::string sysctl_dir(const std::string& root);
std::string knob_path(const std::string& root, std::string_view knob);
std::string runner_pid_path(const std::string& root);

// VM names become directory names: letters, digits, '.', '_', '-', at most
// 31 characters, not starting with '.' or '-'.
bool valid_vm_name(std::string_view name);
// Knob names become file names: the same characters, at most 128.
bool valid_knob_name(std::string_view name);

std::string rate_limit_knob(int vcpu_class);
inline constexpr const char* burst_secs_knob = "hw.vmm.vcpu_limit.class.1.burst_secs";

// mkdir -p; true when the directory exists afterwards.
bool make_dirs(const std::string& path);
// Removes a directory with everything in it; missing is fine.
void remove_tree(const std::string& path);

}  // namespace vmmsim
