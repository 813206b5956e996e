#pragma once

#include <cstdint>

// The replay's process logger, in place of the daemon's console and syslog:
// off, or the daemon's console lines on standard output, stamped with the
// recorded clock and the recorded daemon's pid.
void install_replay_logger(bool to_stdout, int level);

// The moment and daemon the next log lines belong to.
void set_log_clock(int64_t wall_ns, int pid);
