#pragma once

#include <string>
#include <vector>

#include "host/processes.h"

// The title the daemon takes, by which a second start recognises it.
std::string daemon_title();
// A companion's title; it never blocks a start.
std::string monitor_title();

// Process ids of a running daemon and monitor; 0 when none was seen.
struct RunningInstances {
    int monitor = 0;
    int daemon = 0;
};

// Picks the daemon and the monitor out of a process list by first argument,
// plain or in setproctitle's "command: title" form; the last match wins.
RunningInstances classify_instances(const std::vector<ProcessInfo>& processes);

// Scans the processes named halvorn or halvorn.debug.
RunningInstances find_running_instances();
