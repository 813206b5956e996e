// Whole-file replacement for files other processes read while we write them.
#pragma once

#include <string>

namespace vmmsim {

// Writes `text` to a hidden temporary file beside `path` and renames it over
// `path`, so a reader sees the old contents or the new, never a part. False
// with errno set on failure; no temporary file is left either way.
bool replace_file(const std::string& path, const std::string& text);

}  // namespace vmmsim
