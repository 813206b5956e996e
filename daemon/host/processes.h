#pragma once

#include <functional>
#include <map>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "platform_kernel.h"

class KvmReader;

// (parent pid with 1 recorded as 0, pid) -> VM id
using BhyveProcesses = std::map<std::pair<int, int>, std::string>;

// Processes named "bhyve" whose first argument starts with "bhyve: ".
BhyveProcesses bhyve_processes(const KvmReader& reader);

struct ProcessInfo {
    std::string command;
    std::string first_argument;
    int parent_pid = 0;
    int pid = 0;
};

// Processes with one of the command names (each cut to 19 characters), or
// all user processes when `names` is empty. Opens its own libkvm handle.
std::vector<ProcessInfo> find_processes(const std::vector<std::string>& names);

// An entry's first argument; empty when it has none or it cannot be read.
using FirstArgument = std::function<std::string(const kinfo_proc&)>;

// The selection of bhyve_processes over a process list.
BhyveProcesses select_bhyve_processes(std::span<const kinfo_proc> procs, const FirstArgument& first_argument);

// The selection of find_processes over a process list.
std::vector<ProcessInfo> select_processes(std::span<const kinfo_proc> procs,
                                          const std::vector<std::string>& names,
                                          const FirstArgument& first_argument);
