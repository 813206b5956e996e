#include "host/vm_name.h"

#include <fmt/format.h>

namespace {

bool is_control(char c) { return static_cast<unsigned char>(c) < 0x20 || c == 0x7f; }

}  // namespace

bool is_usable_vm_name(std::string_view name)
{
    if (name.empty() || name == "." || name == "..")
        return false;
    for (const char c : name)
        if (c == '/' || is_control(c))
            return false;
    return true;
}

std::string escaped_vm_name(std::string_view name)
{
    std::string escaped;
    escaped.reserve(name.size());
    for (const char c : name) {
        if (is_control(c))
            escaped += fmt::format("\\x{:02x}", static_cast<unsigned char>(c));
        else
            escaped += c;
    }
    return escaped;
}
