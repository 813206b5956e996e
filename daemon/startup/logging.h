#pragma once

// Builds the console + syslog logger at Settings::log_level and installs it
// as spdlog's default logger. Once per process.
void setup_logging();
