// The supervisor of one VM: leads its process group, owns the VM's state and
// runs its bhyve process, restarting it on SIGHUP and ending it on SIGTERM.
#pragma once

#include <string>
#include <vector>

namespace vmmsim {

// args: NAME VCPUS DEMAND CLASS PERIOD_MS. Returns the exit status.
int run_supervisor(const std::vector<std::string>& args);

}  // namespace vmmsim
