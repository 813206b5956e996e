#include "controller/vm_context.h"

#include <cstring>

#include "bindings/vmmapi.h"
#include "host/vm_name.h"

namespace {

constexpr const char* throttle_counter_text = "sleeps in ms due to vcpu limit throttle";

}  // namespace

// libvmmapi opens /dev/vmm/NAME read-write: any other name stays unopened.
VmContext::VmContext(const std::string& name) : ctx(is_usable_vm_name(name) ? vmmapi_vm_open(name) : nullptr)
{}

VmContext::~VmContext()
{
    if (ctx)
        vmmapi_vm_close(ctx);
}

int VmContext::get_class() const
{
    if (!ctx)
        return -1;
    int cls = -1;
    if (vmmapi_vm_get_vcpu_class(ctx, &cls) != 0 || cls < 0 || cls > 9)
        return -1;
    return cls;
}

int VmContext::set_class(int cls)
{
    if (!ctx)
        return set_class_no_context;
    if (cls == -1)
        return set_class_unreadable_asked;
    if (vmmapi_vm_set_vcpu_class(ctx, cls) != 0)
        return set_class_refused;
    return set_class_done;
}

ThrottleTime VmContext::throttle_us(int vcpu) const
{
    if (!ctx)
        return std::nullopt;
    // A library without statistics has no throttle counter: nothing is held
    // back that we could see, every time.
    if (!vmmapi_has_stats())
        return 0;
    timeval stamp{};
    int count = 0;
    const uint64_t* counters = vmmapi_vcpu_stats(ctx, vcpu, &stamp, &count);
    // A failed or short read is unknown, never 0: taking it as 0 and the next
    // good read as the whole counter would show hours of demand in a second.
    if (!counters || count < 1)
        return std::nullopt;
    // Descriptions belong to the VM, not to a vCPU: one search serves every
    // vCPU of this evaluation.
    if (throttle_index == not_searched || throttle_index == descriptions_unreadable)
        throttle_index = find_throttle_counter(count);
    if (throttle_index == no_throttle_counter)
        return 0;
    if (throttle_index == descriptions_unreadable || count <= throttle_index)
        return std::nullopt;
    return counters[throttle_index] * 1000;
}

int VmContext::find_throttle_counter(int count) const
{
    // The library ends the list with a null description; the bound keeps a
    // foreign library that never does from holding the evaluation.
    constexpr int most_counters = 1024;
    for (int index = 0; index < most_counters; ++index) {
        const char* description = vmmapi_vm_get_stat_desc(ctx, index);
        if (!description)
            // Every counter the read reported has a description: a gap before
            // their end is a failed call, not the end of the list.
            return index < count ? descriptions_unreadable : no_throttle_counter;
        if (std::strstr(description, throttle_counter_text))
            return index;
    }
    return no_throttle_counter;
}
