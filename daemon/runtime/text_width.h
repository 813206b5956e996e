#pragma once

#include <cstddef>
#include <string_view>

// Columns a terminal gives UTF-8 text: two for East Asian wide and fullwidth
// characters (CJK, Hangul, most emoji), none for combining marks and
// zero-width characters, one for everything else, a stray byte included.
std::size_t display_width(std::string_view text);
