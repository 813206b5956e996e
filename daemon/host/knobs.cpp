#include "host/knobs.h"

#include <algorithm>

#include "platform_kernel.h"

KnobValue read_int_knob(const std::string& name)
{
    KnobValue knob;
    const bool sized = sysctlbyname(name.c_str(), nullptr, &knob.size, nullptr, 0) == 0;
    // Never offer more room than the int has: a knob wider than an int must
    // fail the read (ENOMEM), not overrun `value`.
    size_t length = std::min(knob.size, sizeof knob.value);
    const bool read = sysctlbyname(name.c_str(), &knob.value, &length, nullptr, 0) == 0;
    knob.ok = sized && read;
    return knob;
}

int write_int_knob(const std::string& name, int value, size_t size)
{
    // Likewise never hand the kernel bytes from beyond `value`.
    return sysctlbyname(name.c_str(), nullptr, nullptr, &value, std::min(size, sizeof value));
}
