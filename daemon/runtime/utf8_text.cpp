#include "runtime/utf8_text.h"

#include <algorithm>
#include <array>
#include <cstdint>

namespace {

struct Range {
    char32_t first;
    char32_t last;
};

// After Unicode's East Asian Width property (W and F), in code point order.
constexpr std::array<Range, 14> wide{{
    {0x1100, 0x115F},
    {0x2E80, 0x303E},
    {0x3041, 0x33FF},
    {0x3400, 0x4DBF},
    {0x4E00, 0x9FFF},
    {0xA000, 0xA4CF},
    {0xAC00, 0xD7A3},
    {0xF900, 0xFAFF},
    {0xFE30, 0xFE4F},
    {0xFF00, 0xFF60},
    {0xFFE0, 0xFFE6},
    {0x1F300, 0x1F64F},
    {0x1F900, 0x1F9FF},
    {0x20000, 0x3FFFD},
}};

// Combining marks, zero-width spaces and joiners, variation selectors.
constexpr std::array<Range, 7> zero_width{{
    {0x0300, 0x036F},
    {0x1AB0, 0x1AFF},
    {0x1DC0, 0x1DFF},
    {0x200B, 0x200F},
    {0x20D0, 0x20FF},
    {0xFE00, 0xFE0F},
    {0xFE20, 0xFE2F},
}};

template <size_t N>
bool in(const std::array<Range, N>& ranges, char32_t c)
{
    const auto it = std::upper_bound(ranges.begin(), ranges.end(), c,
                                     [](char32_t value, const Range& range) { return value < range.first; });
    return it != ranges.begin() && c <= std::prev(it)->last;
}

char32_t decoded(std::string_view text, size_t at, size_t length)
{
    char32_t c = static_cast<uint8_t>(text[at]) & (length == 1 ? 0x7F : 0x7F >> length);
    for (size_t i = 1; i < length; ++i)
        c = (c << 6) | (static_cast<uint8_t>(text[at + i]) & 0x3F);
    return c;
}

}  // namespace

std::size_t utf8_sequence_length(std::string_view text, std::size_t at)
{
    const auto byte = [&](size_t i) { return static_cast<uint8_t>(text[i]); };
    const uint8_t lead = byte(at);
    if (lead < 0x80)
        return 1;
    const size_t length = (lead >> 5) == 0x6 ? 2 : (lead >> 4) == 0xE ? 3 : (lead >> 3) == 0x1E ? 4 : 0;
    if (length == 0 || at + length > text.size())
        return 0;
    for (size_t i = 1; i < length; ++i)
        if ((byte(at + i) & 0xC0) != 0x80)
            return 0;
    const char32_t c = decoded(text, at, length);
    constexpr char32_t lowest[] = {0, 0, 0x80, 0x800, 0x10000};
    if (c < lowest[length] || (c >= 0xD800 && c <= 0xDFFF) || c > 0x10FFFF)
        return 0;
    return length;
}

std::size_t display_width(std::string_view text)
{
    std::size_t width = 0;
    for (size_t at = 0; at < text.size();) {
        const size_t length = utf8_sequence_length(text, at);
        if (length == 0) {
            ++width;  // a stray byte, shown as one replacement character
            ++at;
            continue;
        }
        const char32_t c = decoded(text, at, length);
        width += in(zero_width, c) ? 0 : in(wide, c) ? 2 : 1;
        at += length;
    }
    return width;
}
