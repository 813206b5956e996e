#pragma once

#include <cstddef>
#include <string_view>

// Length of the well-formed UTF-8 sequence at `at` (1 to 4 bytes), or 0
// when the bytes there are none: a stray continuation byte, a cut or
// overlong sequence, a surrogate, or a code point beyond U+10FFFF.
std::size_t utf8_sequence_length(std::string_view text, std::size_t at);

// Columns a terminal gives UTF-8 text: two for East Asian wide and fullwidth
// characters (CJK, Hangul, most emoji), none for combining marks and
// zero-width characters, one for everything else, a stray byte included.
std::size_t display_width(std::string_view text);
