#pragma once

struct Settings;

// > 0: version or help printed (exit 0); < 0: bad option (exit 1);
// 0: the configuration is loaded and start-up goes on.
int parse_arguments(Settings& settings, int argc, char** argv);
void print_usage();
