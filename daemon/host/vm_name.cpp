#include "host/vm_name.h"

#include <algorithm>

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

std::string escaped_for_log(std::string_view text, std::size_t limit)
{
    std::string escaped;
    escaped.reserve(std::min(text.size(), limit));
    for (const char c : text) {
        const std::string piece =
            is_control(c) ? fmt::format("\\x{:02x}", static_cast<unsigned char>(c)) : std::string(1, c);
        if (escaped.size() + piece.size() > limit)
            break;
        escaped += piece;
    }
    return escaped;
}
