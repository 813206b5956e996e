#pragma once

#include <cstdint>
#include <string>

// What the command line asks of one check run.
struct CheckOptions {
    std::int32_t warning = 0;   // percent idle; below it the check warns
    std::int32_t critical = 0;  // percent idle; below it the check is critical
    std::int32_t period = 5;    // seconds between the two counter samples
};

// Outcome of reading the command line: either options to check with, or a
// request for the usage text, which ends the run before anything is checked.
struct ParsedCommandLine {
    CheckOptions options;
    bool usage_requested = false;
};

// Reads the options in command-line order. Unknown options and missing
// arguments are reported by getopt_long on stderr and otherwise ignored.
// Safe to call repeatedly in one process.
ParsedCommandLine parse_check_options(int argc, char* argv[]);

// The first reason the options cannot be used, or "" when they can.
std::string validate_check_options(const CheckOptions& options);

// The two usage lines, each ending in a newline.
std::string usage_text();
