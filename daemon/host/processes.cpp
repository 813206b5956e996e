#include "host/processes.h"

#include <algorithm>
#include <utility>
#include <cstring>
#include <memory>
#include <set>
#include <string_view>

#include <spdlog/spdlog.h>

#include "host/kvm_reader.h"
#include "host/process_selection.h"
#include "platform_kernel.h"
#include "host/vm_name.h"
#include "startup/log_text.h"

namespace {

constexpr std::string_view bhyve_command = "bhyve";
constexpr std::string_view vm_title_prefix = "bhyve: ";

std::string_view command_of(const kinfo_proc& entry)
{
    return {entry.ki_comm, strnlen(entry.ki_comm, sizeof entry.ki_comm)};
}

FirstArgument first_argument_reader(kvm_t* handle)
{
    return [handle](const kinfo_proc& entry) -> std::string {
        char** argv = kvm_getargv(handle, &entry, 0);
        if (argv == nullptr || argv[0] == nullptr)
            return {};
        return argv[0];
    };
}

struct KvmCloser {
    void operator()(kvm_t* handle) const { kvm_close(handle); }
};

}  // namespace

BhyveProcesses select_bhyve_processes(std::span<const kinfo_proc> procs, const FirstArgument& first_argument)
{
    // Anyone can start a process called bhyve with any title. Its pid is
    // remembered while it stays in the table, so the warning comes once.
    static std::set<int> ignored_before;
    std::set<int> ignored;
    BhyveProcesses found;
    for (const kinfo_proc& entry : procs) {
        if (entry.ki_ppid == 0 || command_of(entry) != bhyve_command)
            continue;
        const std::string argument = first_argument(entry);
        if (!argument.starts_with(vm_title_prefix))
            continue;
        const std::string_view name = std::string_view(argument).substr(vm_title_prefix.size());
        const int pid = entry.ki_pid;
        if (!is_usable_vm_name(name)) {
            if (ignored.insert(pid).second && !ignored_before.contains(pid))
                spdlog::warn("Ignored bhyve process pid={}: unusable VM name '{}'", pid,
                             escaped_for_log(name));
            continue;
        }
        const int parent = entry.ki_ppid == 1 ? 0 : entry.ki_ppid;
        found.emplace(std::make_pair(parent, pid), std::string(name));
    }
    ignored_before = std::move(ignored);
    return found;
}

std::vector<ProcessInfo> select_processes(std::span<const kinfo_proc> procs,
                                          const std::vector<std::string>& names,
                                          const FirstArgument& first_argument)
{
    // The kernel keeps command names of at most COMMLEN characters.
    std::vector<std::string_view> wanted;
    wanted.reserve(names.size());
    for (const auto& name : names)
        wanted.push_back(std::string_view(name).substr(0, COMMLEN));

    std::vector<ProcessInfo> found;
    for (const kinfo_proc& entry : procs) {
        if (entry.ki_ppid == 0)
            continue;
        const std::string_view command = command_of(entry);
        if (!wanted.empty() && std::find(wanted.begin(), wanted.end(), command) == wanted.end())
            continue;
        found.push_back({std::string(command), first_argument(entry), entry.ki_ppid, entry.ki_pid});
    }
    return found;
}

BhyveProcesses bhyve_processes(const KvmReader& reader)
{
    if (reader.handle == nullptr)
        return {};
    int count = 0;
    const kinfo_proc* procs = kvm_getprocs(reader.handle, KERN_PROC_PROC, 0, &count);
    if (procs == nullptr || count <= 0)
        return {};
    return select_bhyve_processes({procs, static_cast<size_t>(count)}, first_argument_reader(reader.handle));
}

std::vector<ProcessInfo> find_processes(const std::vector<std::string>& names)
{
    // No core file: the kernel's own memory, which needs root.
    std::vector<char> errbuf(_POSIX2_LINE_MAX + 1, '\0');
    std::unique_ptr<kvm_t, KvmCloser> handle(
        kvm_openfiles(nullptr, nullptr, nullptr, O_RDONLY, errbuf.data()));
    if (handle == nullptr)
        return {};
    int count = 0;
    const kinfo_proc* procs = kvm_getprocs(handle.get(), KERN_PROC_PROC, 0, &count);
    if (procs == nullptr || count < 1)
        return {};
    return select_processes({procs, static_cast<size_t>(count)}, names, first_argument_reader(handle.get()));
}
