#pragma once

#include <optional>
#include <string>

struct VmRecord;
class HostAccess;

// One evaluation of one VM: measures its vCPUs' demand, updates the
// MINER / NORMAL judgement and moves the VM between classes 1 and 2.
// False when the VM is gone and its record is to be dropped.
bool evaluate(VmRecord& vm, HostAccess& host, double idle_average);

// The vCPU number of a thread named "vcpu N"; none when no decimal number
// follows or it is no possible vCPU index (negative, beyond int), so such a
// thread is not taken for a vCPU.
std::optional<int> vcpu_number(const std::string& thread_name);
