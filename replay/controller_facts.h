#pragma once

#include <cstdint>
#include <string>
#include <vector>

class Controller;

// What the replay reads of the controller after a tick. The one place that
// knows the controller's records, so that a change to them is mended here.
struct VmFacts {
    int32_t pid = 0;
    const std::string* name = nullptr;
    bool miner = false;  // judged MINER
};

// The VMs of the controller's registry, in pid order, into `out`.
void vm_facts(const Controller& controller, std::vector<VmFacts>& out);
