#include "runtime/reply_path.h"

#include <fmt/format.h>

bool is_reply_path(const std::string& daemon_path, const std::string& reply_path)
{
    const std::string prefix = daemon_path + ".";
    if (reply_path.size() <= prefix.size() || reply_path.compare(0, prefix.size(), prefix) != 0)
        return false;
    return reply_path.find_first_not_of("0123456789", prefix.size()) == std::string::npos;
}

std::string printable(const std::string& text, std::size_t limit)
{
    std::string shown;
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        const std::string piece =
            byte < 0x20 || byte == 0x7f ? fmt::format("\\x{:02x}", byte) : std::string(1, c);
        if (shown.size() + piece.size() > limit)
            break;
        shown += piece;
    }
    return shown;
}
