#pragma once

#include <string>

#include <sys/types.h>

// Replaces `path` by a file holding `text` with permissions `mode`, through a
// hidden temporary file in the same directory and a rename: a reader sees
// the old file or the new one whole, never a part. Empty on success, else
// why not (the temporary file is then gone).
std::string replace_file(const std::string& path, const std::string& text, mode_t mode = 0644);
