#pragma once

#include <string>
#include <string_view>

// VM names reach libvmmapi, which opens /dev/vmm/NAME read-write as root: a
// name must stay one plain entry of that directory.
bool is_usable_vm_name(std::string_view name);

// The name with control characters written as \xNN, so a log line shows
// what was given and stays one line.
std::string escaped_vm_name(std::string_view name);
