#pragma once

#include <cstddef>
#include <string>
#include <string_view>

// VM names reach libvmmapi, which opens /dev/vmm/NAME read-write as root: a
// name must stay one plain entry of that directory.
bool is_usable_vm_name(std::string_view name);

// `text` for a log line (a VM name, a requester's path): control characters
// written as \xNN, so the line shows what was given and stays one line; at
// most `limit` characters, an escape never cut in half.
std::string escaped_for_log(std::string_view text, std::size_t limit = std::string_view::npos);
