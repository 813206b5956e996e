#pragma once

#include <string>
#include <vector>

#include "replay/replay_settings.h"

// halvorn-replay's command line.
struct ReplayCommand {
    std::string config;  // -c CONFIG
    std::vector<SettingValues> sets;
    bool log = false;
    bool json = false;
    std::string chart;  // --chart FILE.png
    int host_cpus = 0;  // --host-cpus N, for CSV samples; 0 not given
    std::vector<std::string> recordings;
    bool help = false;
};

// Empty when the arguments make a command, else what is wrong with them.
std::string parse_command(int argc, char** argv, ReplayCommand& command);

inline const char* const replay_usage =
    "usage: halvorn-replay [-c CONFIG] [--set SECTION.Key=VALUE[,VALUE...]]... [--log] [--json]\n"
    "                      [--chart FILE.png] RECORDING...\n"
    "       halvorn-replay --host-cpus N [options] SAMPLES.csv...\n";
