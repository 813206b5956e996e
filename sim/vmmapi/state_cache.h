// The VM states this process has mapped, kept from one vm_open to the next.
// A daemon opens every VM at every tick; mapping and unmapping its state
// each time costs more than everything else the call does.
#pragma once

#include <memory>
#include <string>

#include "common/vm_state.h"

namespace vmmsim {

using SharedState = std::shared_ptr<StateMapping>;

// The published state at `path`, mapped writable: the mapping held from an
// earlier call while the path still names the same file (device and inode),
// else a fresh one, which `fresh` asks for in any case. Null (errno set)
// when there is no published state.
SharedState open_shared_state(const std::string& path, bool fresh);

}  // namespace vmmsim
