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
    std::string chart;  // --chart FILE.png: the replay's, or the search's front
    int host_cpus = 0;  // --host-cpus N, for CSV samples; 0 not given
    std::vector<std::string> recordings;
    bool help = false;
    // --suggest: the settings found best, searched within the --set texts.
    bool suggest = false;
    std::vector<std::string> set_texts;  // every --set as given
    size_t budget = 60;                  // --budget N: replays a host at most
    // --host NAME=FILE[,FILE...]: one host of a fleet.
    std::vector<std::pair<std::string, std::vector<std::string>>> hosts;
};

// Empty when the arguments make a command, else what is wrong with them.
std::string parse_command(int argc, char** argv, ReplayCommand& command);

inline const char* const replay_usage =
    "usage: halvorn-replay [-c CONFIG] [--set SECTION.Key=VALUE[,VALUE...]]... [--log] [--json]\n"
    "                      [--chart FILE.png] RECORDING...\n"
    "       halvorn-replay --suggest [-c CONFIG] [--set SECTION.Key=LO..HI|VALUE[,VALUE...]]...\n"
    "                      [--budget N] [--json] [--chart FILE.png]\n"
    "                      RECORDING... | --host NAME=FILE[,FILE...]...\n"
    "       halvorn-replay --host-cpus N [options] SAMPLES.csv...\n";
