#pragma once

#include <string>

// The pipe names of the command channel, built and checked in one place.

// "/var/run/<program>.cli.fifo", with ".<own pid>" appended for a reply pipe.
std::string fifo_path(const std::string& program, bool with_pid);

// True when `reply_path` is `daemon_path` + "." + one or more decimal digits,
// the only name a client gives its reply pipe. The daemon is root: any other
// FIFO on the host (another program's control pipe) is never written.
bool is_reply_path(const std::string& daemon_path, const std::string& reply_path);
