#pragma once

// The selections the kernel scans make over process-table entries, apart
// from the scans so that tests can feed them entries. Only files that read
// the kernel include this: it brings in the kernel's own headers.

#include <functional>
#include <span>
#include <string>
#include <vector>

#include "host/kvm_reader.h"
#include "host/processes.h"
#include "platform_kernel.h"

// The selection of KvmReader::vcpu_threads over a thread list.
VcpuThreads select_vcpu_threads(std::span<const kinfo_proc> threads);

// An entry's first argument; empty when it has none or it cannot be read.
using FirstArgument = std::function<std::string(const kinfo_proc&)>;

// The selection of bhyve_processes over a process list.
BhyveProcesses select_bhyve_processes(std::span<const kinfo_proc> procs, const FirstArgument& first_argument);

// The selection of find_processes over a process list.
std::vector<ProcessInfo> select_processes(std::span<const kinfo_proc> procs,
                                          const std::vector<std::string>& names,
                                          const FirstArgument& first_argument);
