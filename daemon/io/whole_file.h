#pragma once

#include <string>

// Reads the file at `path` whole into `bytes`. False, with `error` saying
// why (a directory is no file), when it cannot be opened or read.
bool read_whole_file(const std::string& path, std::string& bytes, std::string& error);
