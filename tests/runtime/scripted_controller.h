#pragma once

#include <memory>
#include <string>

#include "controller/controller.h"
#include "controller/vm_record.h"
#include "log_capture.h"
#include "startup/settings.h"

// A controller whose state the test writes directly, with three VMs: a MINER
// in class 2; an exempt NORMAL one in class 1 with an odd name, counting down
// to MINER; and a fresh one, whose class and load are still unknown.
struct ScriptedController {
    static constexpr int64_t second = 1'000'000'000;

    Settings& settings = Settings::instance() = Settings{};
    Controller controller;
    LogCapture log;  // after the controller, whose constructor installs the daemon's logger

    ScriptedController()
    {
        controller.idle_average = 23.44;
        controller.knobs = {70, 25, 30};
        controller.tally = {120, 2, 0.00031, 3, 4, 5, 6};
        controller.last_tick_time = 1000 * second;

        VmRecord& miner = add("miner", 15, 2, 2);
        miner.vcpu_loads[0].load = 100.0;
        miner.vcpu_loads[1].load = 100.2;
        miner.moves_to_class2 = 1;
        miner.class2_ns = 90 * second + second / 2;

        VmRecord& odd = add("we\"b\\01\n", 19, 1, 1);
        odd.overloaded = false;
        odd.vcpu_loads[0].load = 6.0;
        odd.vcpu_loads[1].load = 6.4;
        odd.countdown = true;
        odd.deadline = controller.last_tick_time + 41 * second + second / 2;
        odd.exempt = true;
        odd.moves_to_class1 = 1;
        odd.moves_to_class2 = 1;
        odd.refused_moves_to_class2 = 7;

        add("fresh", 30, -1, 0);
    }

    VmRecord& add(const std::string& name, int pid, int cls, int kind)
    {
        auto record = std::make_unique<VmRecord>();
        record->name = name;
        record->pid = pid;
        record->last_class = cls;
        record->kind = kind;
        record->measured = kind != kind_unjudged;
        record->vcpus = record->measured ? 2 : 0;
        VmRecord& vm = *record;
        controller.vms[pid] = std::move(record);
        return vm;
    }
};
