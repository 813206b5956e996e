#include "controller/kvm_host.h"

#include <chrono>

#include <signal.h>

#include "controller/vm_context.h"

int64_t KvmHost::now() const
{
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

void KvmHost::write_int_knob(const std::string& name, int value, size_t size)
{
    ::write_int_knob(name, value, size);
}

bool KvmHost::process_exists(int pid) const { return ::kill(pid, 0) == 0; }

std::unique_ptr<VmHandle> KvmHost::open_vm(const std::string& name)
{
    return std::make_unique<VmContext>(name);
}
