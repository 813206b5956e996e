#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "host/kvm_reader.h"

// A vCPU thread of a VM under its vCPU number.
struct VcpuThread {
    int number = 0;
    uint64_t runtime_us = 0;
};

// The vCPU threads of a process group, in the order of their thread names.
using NumberedVcpus = std::vector<VcpuThread>;

// The vCPU number of a thread named "vcpu N"; none when no decimal number
// follows or it is no possible vCPU index (negative, beyond int), so such a
// thread is not taken for a vCPU.
std::optional<int> vcpu_number(const std::string& thread_name);

// The threads of `threads` that carry a vCPU number, in name order.
NumberedVcpus numbered_vcpus(const VcpuThreads& threads);
