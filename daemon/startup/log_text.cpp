#include "startup/log_text.h"

#include <algorithm>

#include <fmt/format.h>

std::string escaped_for_log(std::string_view text, std::size_t limit)
{
    std::string escaped;
    escaped.reserve(std::min(text.size(), limit));
    for (const char c : text) {
        const std::string piece = is_control_character(c)
                                      ? fmt::format("\\x{:02x}", static_cast<unsigned char>(c))
                                      : std::string(1, c);
        if (escaped.size() + piece.size() > limit)
            break;
        escaped += piece;
    }
    return escaped;
}
