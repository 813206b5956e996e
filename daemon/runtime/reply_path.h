#pragma once

#include <cstddef>
#include <string>

// True when `reply_path` is `daemon_path` + "." + one or more decimal digits,
// the only name a client gives its reply pipe. The daemon is root: any other
// FIFO on the host (another program's control pipe) is never written.
bool is_reply_path(const std::string& daemon_path, const std::string& reply_path);

// `text` for a log line: control characters as \xHH, at most `limit`
// characters, an escape never cut in half.
std::string printable(const std::string& text, std::size_t limit);
