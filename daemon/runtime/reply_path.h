#pragma once

#include <string>

// True when `reply_path` is `daemon_path` + "." + one or more decimal digits,
// the only name a client gives its reply pipe. The daemon is root: any other
// FIFO on the host (another program's control pipe) is never written.
bool is_reply_path(const std::string& daemon_path, const std::string& reply_path);
