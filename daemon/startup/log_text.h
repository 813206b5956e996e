#pragma once

#include <cstddef>
#include <string>
#include <string_view>

// Bytes below a blank, and DEL: they would break a log line or a table row,
// or drive the terminal that shows it.
constexpr bool is_control_character(char c) { return static_cast<unsigned char>(c) < 0x20 || c == 0x7f; }

// `text` for a log line (a VM name, a requester's path): control characters
// written as \xNN, so the line shows what was given and stays one line; at
// most `limit` characters, an escape never cut in half.
std::string escaped_for_log(std::string_view text, std::size_t limit = std::string_view::npos);
