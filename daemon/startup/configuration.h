#pragma once

#include <string>

#include "startup/settings.h"

// Fills `settings` from the configuration file and the -c / -l values
// (empty when absent). `program_path` is argv[0], empty on a reload.
void load_configuration(Settings& settings, const std::string& program_path, const std::string& config_option,
                        const std::string& level_option);
// Files that others than root can write are never read (the reason goes to
// standard error at start, to the log on a reload), nor are unknown level
// names taken.
// SIGHUP: search and read the file again, then log the file in use. The two
// timer periods keep their start values.
void reload_configuration();
// Clamps every bounded field; the last step of load_configuration. In bounds.cpp.
void apply_bounds(Settings& settings);

// Reads INI `text` over `settings`: keys it does not hold keep their values,
// then the bounds apply. False, with `error` saying why, when the text has a
// bad line (nothing is read then) or names no level where one is due.
bool read_configuration_text(Settings& settings, const std::string& text, std::string& error);
