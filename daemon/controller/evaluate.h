#pragma once

struct VmRecord;
class HostAccess;

// One evaluation of one VM: measures its vCPUs' demand, updates the
// MINER / NORMAL judgement and moves the VM between classes 1 and 2.
// False when the VM is gone and its record is to be dropped.
bool evaluate(VmRecord& vm, HostAccess& host, double idle_average);
