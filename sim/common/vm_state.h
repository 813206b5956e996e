// The state of one simulated VM, shared through a mapped file by its
// supervisor, its bhyve process, libvmmapi.so and the vmmsim tool. All fields
// are read and written through std::atomic_ref, since several processes touch
// them at once.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>

#include "fault.h"
#include "service.h"

namespace vmmsim {

inline constexpr uint32_t state_magic = 0x766d6d73;  // "vmms"
inline constexpr uint32_t state_version = 3;
inline constexpr int max_vcpus = 64;
inline constexpr int max_class = 9;

// Per-vCPU statistics counters, in the order libvmmapi reports them.
enum Counter : int {
    counter_exits,             // scheduling slices the vCPU went through
    counter_run_us,            // CPU time the vCPU thread used, microseconds
    counter_throttled_slices,  // slices in which the rate limit held it back
    counter_throttle_ms,       // time held back by the rate limit, milliseconds
    counter_idle_ms,           // time the guest did not want the CPU, milliseconds
    counter_count
};
extern const char* const counter_descriptions[counter_count];

struct VcpuSlot {
    int32_t demand;  // share of one CPU the guest wants, 0..100
    int32_t reserved;
    uint64_t counters[counter_count];
};

struct VmState {
    uint32_t magic;  // stored last when the state is created
    uint32_t version;
    int32_t supervisor_pid;
    int32_t bhyve_pid;  // 0 while the VM starts, restarts or stops
    int32_t vcpus;
    int32_t vcpu_class;
    int32_t start_class;  // the class a restart resets to
    int32_t paused;
    int32_t period_ms;
    char name[32];
    VcpuSlot vcpu[max_vcpus];
    FaultSlot faults[fault_operation_count];  // kept across restarts
    // Apart from the counters, which stay together for libvmmapi's readers;
    // the pages of a vCPU that never wanted CPU are never touched.
    ServiceRing service[max_vcpus];
};

template <typename T>
T load(const T& field)
{
    return std::atomic_ref<T>(const_cast<T&>(field)).load(std::memory_order_acquire);
}
template <typename T>
void store(T& field, T value)
{
    std::atomic_ref<T>(field).store(value, std::memory_order_release);
}
template <typename T>
void add(T& field, T value)
{
    std::atomic_ref<T>(field).fetch_add(value, std::memory_order_acq_rel);
}

static_assert(std::atomic_ref<uint64_t>::is_always_lock_free);
static_assert(std::atomic_ref<int32_t>::is_always_lock_free);

// A mapping of a VM state: of a state file, or anonymous for a bhyve process
// started on its own. Move-only; unmaps (and closes) on destruction.
class StateMapping {
public:
    StateMapping() = default;
    StateMapping(StateMapping&& other) noexcept;
    StateMapping& operator=(StateMapping&& other) noexcept;
    StateMapping(const StateMapping&) = delete;
    StateMapping& operator=(const StateMapping&) = delete;
    ~StateMapping();

    // Creates the file exclusively and maps it; the caller fills it and then
    // calls publish(). Errors leave errno set.
    static StateMapping create(const std::string& path);
    static StateMapping anonymous();
    // Maps an existing, published state; empty when absent or not a state.
    static StateMapping open(const std::string& path, bool writable);

    explicit operator bool() const { return state_ != nullptr; }
    VmState* operator->() const { return state_; }
    VmState& operator*() const { return *state_; }

    void publish();

private:
    explicit StateMapping(VmState* state) : state_(state) {}
    VmState* state_ = nullptr;
};

// Fills a fresh state (zeroed by the mapping); demand has one value per vCPU.
void init_state(VmState& state, const std::string& name, int vcpus, const int* demand, int vcpu_class,
                int period_ms);
// Back to the boot state of a restarted VM: counters and service zero,
// starting class.
void reset_state(VmState& state);

// kill(pid, 0) says it exists (EPERM counts as existing).
bool process_exists(int pid);

}  // namespace vmmsim
