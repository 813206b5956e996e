// Starting, stopping and inspecting simulated VMs. Each VM has a supervisor
// process that leads its own process group and owns the VM's state directory;
// its bhyve process is its only child.
#pragma once

#include <array>
#include <chrono>
#include <optional>
#include <string>
#include <vector>

#include "common/fault.h"

#include "scenario.h"

namespace vmmsim {

enum class Launch {
    child,    // a child of the caller that ends when the caller ends
    detached  // its own session, outliving the caller
};

// The directory the running executable lives in (bhyve lives beside it).
std::string program_dir();

// Starts the supervisor of `vm_def`; its pid, or -1 with a reason in `error`.
int spawn_supervisor(const VmSpec& vm_def, int period_ms, Launch launch, std::string& error);

// Waits until the VM's bhyve process runs with a pid other than `old_pid`;
// that pid, or 0 when the deadline passes or the supervisor ends first.
int wait_running(const std::string& root, const std::string& name, int old_pid, int supervisor,
                 std::chrono::milliseconds deadline);

struct VmInfo {
    std::string name;
    int supervisor_pid = 0;
    int bhyve_pid = 0;
    int vcpus = 0;
    int vcpu_class = 0;
    bool paused = false;
    std::vector<int> demand;
};
std::vector<VmInfo> list_vms(const std::string& root);

// Stops the VM and removes its state; a supervisor that does not react in
// time is killed, and stale state of a dead one is removed.
bool stop_vm(const std::string& root, const std::string& name, std::string& error);
// Boots the VM again under a new bhyve pid, which it returns (0 on failure).
int restart_vm(const std::string& root, const std::string& name, std::string& error);
bool set_demand(const std::string& root, const std::string& name, const std::string& demand,
                std::string& error);

struct FaultChange {
    FaultOperation operation;
    FaultSetting setting;
};
using FaultSlots = std::array<FaultSlot, fault_operation_count>;
// Applies `change` (if any) to the VM's injected faults and returns a copy of
// all of them; nullopt with a reason in `error` when the VM does not run.
std::optional<FaultSlots> update_faults(const std::string& root, const std::string& name,
                                        const std::optional<FaultChange>& change, std::string& error);

// The process is the supervisor of VM `name` (guards signals against pid reuse).
bool is_supervisor(int pid, const std::string& name);

}  // namespace vmmsim
