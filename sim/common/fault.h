// Injected failures of libvmmapi entry points, one setting per VM and entry
// point, kept in the VM's shared state so that every process using the
// simulated library honours what `vmmsim fault` set.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace vmmsim {

enum FaultOperation : int {
    fault_open,       // vm_open
    fault_get_class,  // vm_get_vcpu_class
    fault_set_class,  // vm_set_vcpu_class
    fault_stats,      // vm_get_stats
    fault_stat_desc,  // vm_get_stat_desc
    fault_operation_count
};

enum FaultMode : int32_t {
    fault_off,
    fault_on,    // every call fails
    fault_once,  // the next call fails, then the fault is off
    fault_rate,  // `rate` percent of calls fail, spread evenly
};

struct FaultSlot {
    int32_t mode;
    int32_t rate;       // 0..100, for fault_rate
    uint64_t calls;     // calls seen since the fault was set
    uint64_t injected;  // failures injected since the fault was set
};

struct FaultSetting {
    FaultMode mode = fault_off;
    int rate = 0;
};

std::optional<FaultOperation> parse_fault_operation(std::string_view text);
const char* fault_operation_name(FaultOperation operation);
// "on", "off", "once" or "RATE%" with RATE 0..100.
std::optional<FaultSetting> parse_fault_setting(std::string_view text);
std::string format_fault_setting(const FaultSlot& slot);

// Replaces the slot's setting and starts its counts afresh.
void set_fault(FaultSlot& slot, FaultSetting setting);
// Called once per call of the entry point: true when this call must fail.
// Safe against calls from several processes at once.
bool inject_fault(FaultSlot& slot);

}  // namespace vmmsim
