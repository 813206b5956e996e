#pragma once

#include <functional>
#include <string>
#include <vector>

// The files named on halvorn-replay's command line, checked before any is
// read: what is no regular file (a directory, a named pipe, a device), cannot
// be opened or holds no recording is named and left out, and so is a
// recording named a second time.

using InputNotice = std::function<void(const std::string&)>;

// The recordings to replay among `paths`, each once: readable files that
// begin with a recording's header, in the order of the time it holds. What is
// left out is told to `notice`.
std::vector<std::string> recordings_to_replay(const std::vector<std::string>& paths,
                                              const InputNotice& notice);
