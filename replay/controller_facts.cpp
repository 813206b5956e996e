#include "replay/controller_facts.h"

#include "controller/controller.h"
#include "controller/vm_record.h"

void judged_vms(const Controller& controller, std::vector<JudgedVm>& out)
{
    out.clear();
    for (const auto& [pid, vm] : controller.vms)
        out.push_back({pid, &vm->name, vm->kind == kind_miner});
}
