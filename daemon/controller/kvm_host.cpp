#include "controller/kvm_host.h"

#include <chrono>

#include <signal.h>
#include <unistd.h>

#include "controller/vm_context.h"

namespace {

// The sysctl names as host/knobs takes them, made once.
const std::string& sysctl_name(Knob knob)
{
    static const std::array<std::string, knob_names.size()> names = [] {
        std::array<std::string, knob_names.size()> all;
        for (size_t i = 0; i < knob_names.size(); ++i)
            all[i] = knob_names[i];
        return all;
    }();
    return names[static_cast<size_t>(knob)];
}

}  // namespace

int64_t KvmHost::now() const
{
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

KnobValue KvmHost::read_int_knob(Knob name) { return ::read_int_knob(sysctl_name(name)); }

void KvmHost::write_int_knob(Knob name, int value, size_t size)
{
    ::write_int_knob(sysctl_name(name), value, size);
}

int KvmHost::cpu_count() const { return static_cast<int>(::sysconf(_SC_NPROCESSORS_ONLN)); }

bool KvmHost::process_exists(int pid) const { return ::kill(pid, 0) == 0; }

std::unique_ptr<VmHandle> KvmHost::open_vm(int, const std::string& name)
{
    return std::make_unique<VmContext>(name);
}
