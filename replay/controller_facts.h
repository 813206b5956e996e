#pragma once

#include <cstdint>
#include <string>
#include <vector>

class Controller;

// What the replay reads of the controller after a tick. The one place that
// knows the controller's records, so that a change to them is mended here.
struct JudgedVm {
    int32_t pid = 0;
    const std::string* name = nullptr;
    bool miner = false;  // judged MINER
};

// The VMs of the controller's registry, in pid order, into `out`.
void judged_vms(const Controller& controller, std::vector<JudgedVm>& out);
