#pragma once
// What the fuzz targets hold any Recording to, whatever bytes made it.
#include <cstdlib>

#include "recording/recording.h"

inline void require(bool holds)
{
    if (!holds)
        std::abort();
}

// Every row a tick or a VM points at lies within the arrays.
inline void require_rows_within(const Recording& recording)
{
    for (const TickRow& tick : recording.ticks) {
        require(tick.header < recording.headers.size());
        require(tick.first_vm + tick.vm_count <= recording.vms.size());
        require(tick.first_process + tick.process_count <= recording.processes.size());
        for (const VmRow& vm : recording.vms_of(tick))
            require(vm.first_vcpu + vm.vcpu_count <= recording.vcpus.size());
    }
}
