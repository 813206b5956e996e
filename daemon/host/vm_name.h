#pragma once

#include <string_view>

// VM names reach libvmmapi, which opens /dev/vmm/NAME read-write as root: a
// name must stay one plain entry of that directory.
bool is_usable_vm_name(std::string_view name);
