#include "controller/vm_context.h"

#include <cstring>

#include "bindings/vmmapi.h"

namespace {

constexpr const char* throttle_counter_text = "sleeps in ms due to vcpu limit throttle";

}  // namespace

VmContext::VmContext(const std::string& name) : ctx(vmmapi_vm_open(name)) {}

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

uint64_t VmContext::throttle_us(int vcpu) const
{
    if (!ctx)
        return 0;
    timeval stamp{};
    int count = 0;
    const uint64_t* counters = vmmapi_vcpu_stats(ctx, vcpu, &stamp, &count);
    // The library is foreign: a missing array or description is "unknown".
    if (!counters || count < 1)
        return 0;
    // Descriptions belong to the VM, not to a vCPU: one search serves every
    // vCPU of this evaluation.
    if (throttle_index < 0 || throttle_index >= count)
        throttle_index = find_throttle_counter(count);
    return throttle_index >= 0 ? counters[throttle_index] * 1000 : 0;
}

int VmContext::find_throttle_counter(int count) const
{
    for (int index = 0; index < count; ++index) {
        const char* description = vmmapi_vm_get_stat_desc(ctx, index);
        if (description && std::strstr(description, throttle_counter_text))
            return index;
    }
    return -1;
}
