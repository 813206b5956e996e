#pragma once

#include <cstdint>
#include <map>
#include <string>

#include "platform_kvm.h"

// One sample of the kernel's cumulative cp_time counters (clock ticks).
struct CpuTimes {
    uint64_t user = 0;
    uint64_t nice = 0;
    uint64_t sys = 0;
    uint64_t intr = 0;
    uint64_t idle = 0;
    bool valid = false;
};

// vCPU thread name -> run time in microseconds.
using VcpuThreads = std::map<std::string, uint64_t>;

// A libkvm handle on live kernel data, opened for one controller tick.
class KvmReader {
public:
    KvmReader();
    ~KvmReader();
    KvmReader(const KvmReader&) = delete;
    KvmReader& operator=(const KvmReader&) = delete;

    kvm_t* handle = nullptr;  // null when opening failed

    const std::string& error() const { return error_; }
    CpuTimes cpu_times() const;
    // Threads named "vcpu..." of every process in the group; first name wins.
    VcpuThreads vcpu_threads(int process_group) const;

private:
    std::string error_;
};

// Idle percentage between two samples (wrapping unsigned arithmetic); not a
// number when the counters did not advance, which callers must skip.
double idle_share(const CpuTimes& previous, const CpuTimes& current);
