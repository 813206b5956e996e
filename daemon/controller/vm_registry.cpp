#include "controller/vm_registry.h"

#include <spdlog/spdlog.h>

#include "controller/host_access.h"
#include "controller/vm_record.h"

void update_vm_list(VmRegistry& vms, HostAccess& host)
{
    spdlog::debug("Update VM list");
    VmRegistry fresh;
    for (const auto& [key, name] : host.bhyve_processes()) {
        const auto [parent_pid, pid] = key;
        if (fresh.contains(pid))
            continue;  // one record per pid
        const auto old = vms.find(pid);
        if (old != vms.end()) {
            fresh.emplace(pid, std::move(old->second));
            vms.erase(old);
            continue;
        }
        auto record = std::make_unique<VmRecord>();
        record->name = name;
        record->pid = pid;
        record->parent_pid = parent_pid;
        fresh.emplace(pid, std::move(record));
    }
    vms = std::move(fresh);
}
