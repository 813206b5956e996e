// A process's argument vector as /proc shows it.
#pragma once

#include <string>
#include <vector>

namespace vmmsim {

// Empty when the process does not exist or cannot be read.
std::vector<std::string> process_args(int pid);

}  // namespace vmmsim
