#pragma once

#include <string>

struct Settings;

// The configuration-file keys of `settings` as INI text that
// read_configuration_text reads back to the same values. A text value that
// INI cannot hold (a line of 199 characters or more) is left out.
std::string settings_text(const Settings& settings);
