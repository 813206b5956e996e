#pragma once

#include <cstddef>
#include <string>

struct KnobValue {
    bool ok = false;  // both sysctl calls succeeded
    int value = 0;
    size_t size = 0;  // as the size query reported; pass to write_int_knob
};

KnobValue read_int_knob(const std::string& name);
int write_int_knob(const std::string& name, int value, size_t size);
