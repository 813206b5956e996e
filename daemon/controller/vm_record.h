#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "controller/nanoseconds.h"
#include "controller/vcpu_loads.h"
#include "host/numbered_vcpus.h"

// The judgement of a VM; the record keeps it as the plain integer.
enum VmKind : int {
    kind_unjudged = 0,
    kind_normal = 1,
    kind_miner = 2,
};

// "unjudged", "NORMAL", "MINER": the names log lines, status and metrics
// show; empty for any other number.
std::string_view kind_name(int kind);

// The kind a countdown from `kind` leads to: always the other one.
constexpr VmKind other_kind(int kind) { return kind == kind_miner ? kind_normal : kind_miner; }

// One running VM (one bhyve process), owned by the controller's registry.
struct VmRecord {
    std::string name;
    int pid = 0;
    int parent_pid = 0;  // process group of the vCPU threads
    int64_t last_sample = no_time;
    bool overloaded = true;
    int kind = kind_unjudged;  // a VmKind
    // Already in class 2 when first judged, as every miner is after a restart.
    bool found_in_class2 = false;
    int64_t deadline = no_time;
    bool countdown = false;  // a countdown to other_kind(kind) runs until `deadline`
    int last_class = -1;
    VcpuLoads vcpu_loads;
    int vcpus = 0;  // vCPU threads at the last evaluation that counted them
    // The threads as last read; kept so that each evaluation reads into the
    // same storage.
    NumberedVcpus threads;
    bool measured = false;  // that evaluation measured them: the VM had at least VCPU vCPUs
    // Moves this daemon made, by the class moved to.
    uint64_t moves_to_class1 = 0;
    uint64_t moves_to_class2 = 0;
    // Moves libvmmapi refused, by the class asked for; each evaluation that
    // still wants the move tries again.
    uint64_t refused_moves_to_class1 = 0;
    uint64_t refused_moves_to_class2 = 0;
    // Time in class 1 and in class 2, between evaluations that found the VM
    // in the same class; `class_timed_at` is the last evaluation's clock.
    int64_t class1_ns = 0;
    int64_t class2_ns = 0;
    int64_t class_timed_at = no_time;
    bool exempt = false;               // matched an Exempt pattern at the last evaluation
    bool exempt_logged = false;        // a skipped move has been logged once
    std::optional<int> dry_run_class;  // class a dry run last said it would move to
};
