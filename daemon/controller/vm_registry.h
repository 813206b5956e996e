#pragma once

#include <map>
#include <memory>

struct VmRecord;
class HostAccess;

// The controller's running VMs, keyed by bhyve pid.
using VmRegistry = std::map<int, std::unique_ptr<VmRecord>>;

// Rebuilds the registry from the process table: records of VMs still
// running carry over with their history, new VMs get fresh records, the
// records of vanished ones are destroyed.
void update_vm_list(VmRegistry& vms, HostAccess& host);
