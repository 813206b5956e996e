#pragma once

#include <string>

// Replaces the own first argument as the process table shows it.
int set_process_arguments(const std::string& text);
