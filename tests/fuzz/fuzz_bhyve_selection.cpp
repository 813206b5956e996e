// Bytes as process-table entries: the first line is a bhyve process's first
// argument, every further line a thread name. The selections keep what they
// promise: VM names are the titles' tails, vCPU numbers are real indices.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "host/kvm_reader.h"
#include "host/numbered_vcpus.h"
#include "host/process_selection.h"
#include "host/processes.h"

namespace {

void require(bool holds)
{
    if (!holds)
        std::abort();
}

kinfo_proc bhyve_entry()
{
    kinfo_proc entry{};
    std::strcpy(entry.ki_comm, "bhyve");
    entry.ki_pid = 200;
    entry.ki_ppid = 100;
    return entry;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const std::string_view bytes(reinterpret_cast<const char*>(data), size);
    const size_t title_end = std::min(bytes.find('\n'), bytes.size());
    const std::string title(bytes.substr(0, title_end));

    const kinfo_proc entry = bhyve_entry();
    const BhyveProcesses vms =
        select_bhyve_processes({&entry, 1}, [&title](const kinfo_proc&) { return title; });
    require(vms.size() <= 1);
    if (!vms.empty())
        require("bhyve: " + vms.begin()->second == title);

    std::vector<kinfo_proc> threads;
    size_t at = title_end;
    while (at < bytes.size()) {
        const size_t end = std::min(bytes.find('\n', at + 1), bytes.size());
        kinfo_proc thread{};
        const std::string_view name = bytes.substr(at + 1, end - at - 1);
        std::memcpy(thread.ki_tdname, name.data(), std::min(name.size(), sizeof thread.ki_tdname - 1));
        thread.ki_runtime = threads.size();
        threads.push_back(thread);
        at = end;
    }
    for (const auto& [name, runtime] : select_vcpu_threads(threads)) {
        require(name.starts_with("vcpu") && name.size() < sizeof(kinfo_proc::ki_tdname));
        require(runtime < threads.size());
        if (const auto number = vcpu_number(name))
            require(*number >= 0);
    }
    return 0;
}
