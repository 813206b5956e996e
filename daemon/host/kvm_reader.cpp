#include "host/kvm_reader.h"

#include "host/process_selection.h"
#include "platform_kernel.h"

#include <cstring>
#include <vector>

KvmReader::KvmReader()
{
    // "/dev/null" as core file: live data through sysctl, no kernel memory.
    std::vector<char> errbuf(_POSIX2_LINE_MAX + 1, '\0');
    handle = kvm_openfiles(nullptr, "/dev/null", nullptr, O_RDONLY, errbuf.data());
    if (handle == nullptr)
        error_ = errbuf.data();
}

KvmReader::~KvmReader()
{
    if (handle != nullptr)
        kvm_close(handle);
}

CpuTimes KvmReader::cpu_times() const
{
    CpuTimes times;
    if (handle == nullptr)
        return times;
    long cp_time[CPUSTATES] = {};
    times.valid = kvm_getcptime(handle, cp_time) == 0;
    times.user = static_cast<uint64_t>(cp_time[CP_USER]);
    times.nice = static_cast<uint64_t>(cp_time[CP_NICE]);
    times.sys = static_cast<uint64_t>(cp_time[CP_SYS]);
    times.intr = static_cast<uint64_t>(cp_time[CP_INTR]);
    times.idle = static_cast<uint64_t>(cp_time[CP_IDLE]);
    return times;
}

VcpuThreads KvmReader::vcpu_threads(int process_group) const
{
    if (handle == nullptr)
        return {};
    int count = 0;
    const kinfo_proc* procs =
        kvm_getprocs(handle, KERN_PROC_PGRP | KERN_PROC_INC_THREAD, process_group, &count);
    if (procs == nullptr || count <= 0)
        return {};
    return select_vcpu_threads({procs, static_cast<size_t>(count)});
}

VcpuThreads select_vcpu_threads(std::span<const kinfo_proc> threads)
{
    VcpuThreads selected;
    for (const kinfo_proc& entry : threads) {
        std::string name(entry.ki_tdname, strnlen(entry.ki_tdname, sizeof entry.ki_tdname));
        if (name.size() < 4 || name.compare(0, 4, "vcpu") != 0)
            continue;
        // emplace keeps the first thread met under a name.
        selected.emplace(std::move(name), entry.ki_runtime);
    }
    return selected;
}

double idle_share(const CpuTimes& previous, const CpuTimes& current)
{
    const uint64_t idle = current.idle - previous.idle;
    const uint64_t total = (current.user + current.nice + current.sys + current.intr + current.idle) -
                           (previous.user + previous.nice + previous.sys + previous.intr + previous.idle);
    // No time passed gives 0/0, not a number; the caller keeps its average then.
    return static_cast<double>(idle) * 100.0 / static_cast<double>(total);
}
