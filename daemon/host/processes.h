#pragma once

#include <map>
#include <string>
#include <utility>
#include <vector>

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
