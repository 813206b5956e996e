// libvmmapi over the simulator's shared VM states.
#include "vmmapi.h"

#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>

#include "libnv/nv.h"
#include "common/fault.h"
#include "common/sim_paths.h"
#include "common/vm_state.h"
#include "state_cache.h"

using vmmsim::load;
using vmmsim::store;

struct vmctx {
    vmmsim::SharedState mapping;
    vmmsim::VmState* state;  // what `mapping` maps
    std::string name;
    int pid;  // the bhyve process this context was opened on
};

struct vcpu {
    vmctx* ctx;
    int number;
};

namespace {

// A context is good while the bhyve process it was opened on still runs the
// VM; a stopped or restarted VM needs a fresh vm_open. The supervisor clears
// bhyve_pid before bhyve goes and once it has gone, so comparing it is enough
// for the calls made once per vCPU; it is a read of shared memory where
// asking after the process is a system call.
bool bound(const vmctx* ctx)
{
    if (!ctx) {
        errno = EINVAL;
        return false;
    }
    if (load(ctx->state->bhyve_pid) != ctx->pid) {
        errno = ENXIO;
        return false;
    }
    return true;
}

// The calls made once per VM also ask after the process, for a bhyve whose
// supervisor died with it.
bool alive(const vmctx* ctx)
{
    if (!bound(ctx))
        return false;
    if (!vmmsim::process_exists(ctx->pid)) {
        errno = ENXIO;
        return false;
    }
    return true;
}

// An injected failure of `operation` on this VM, with the errno the real
// library would leave.
bool injected(vmmsim::VmState& state, vmmsim::FaultOperation operation, int error)
{
    if (!vmmsim::inject_fault(state.faults[operation]))
        return false;
    errno = error;
    return true;
}

bool running(const char* name)
{
    if (!name || !vmmsim::valid_vm_name(name)) {
        errno = name ? ENOENT : EINVAL;
        return false;
    }
    vmmsim::StateMapping state =
        vmmsim::StateMapping::open(vmmsim::state_path(vmmsim::root_dir(), name), false);
    if (!state)
        return false;
    if (!vmmsim::process_exists(load(state->bhyve_pid))) {
        errno = ENOENT;
        return false;
    }
    return true;
}

bool parse_bounded(const char* text, int max, int& value)
{
    if (!text || !*text)
        return false;
    char* end = nullptr;
    errno = 0;
    long parsed = std::strtol(text, &end, 10);
    if (*end != '\0' || errno == ERANGE || parsed < 0 || parsed > max)
        return false;
    value = static_cast<int>(parsed);
    return true;
}

}  // namespace

extern "C" {

struct vmctx* vm_open(const char* name)
{
    if (!name || !vmmsim::valid_vm_name(name)) {
        errno = name ? ENOENT : EINVAL;
        return nullptr;
    }
    // Nothing may escape into a C caller.
    try {
        const std::string path = vmmsim::state_path(vmmsim::root_dir(), name);
        vmmsim::SharedState mapping = vmmsim::open_shared_state(path, false);
        // A held mapping of a file since removed, whose inode a new state
        // took over, shows no running bhyve: map the file afresh then.
        int pid = 0;
        bool running = false;
        const auto look = [&] {
            pid = load((*mapping)->bhyve_pid);
            running = vmmsim::process_exists(pid);
        };
        if (mapping)
            look();
        if (mapping && !running) {
            mapping = vmmsim::open_shared_state(path, true);
            if (mapping)
                look();
        }
        if (!mapping)
            return nullptr;
        if (!running) {
            errno = ENOENT;
            return nullptr;
        }
        vmmsim::VmState* state = &**mapping;
        // As if the VM were destroyed just before the call.
        if (injected(*state, vmmsim::fault_open, ENOENT))
            return nullptr;
        return new vmctx{std::move(mapping), state, name, pid};
    } catch (const std::bad_alloc&) {
        errno = ENOMEM;
        return nullptr;
    }
}

void vm_close(struct vmctx* ctx) { delete ctx; }

int vm_ping(const char* name) { return running(name) ? 0 : -1; }

int vm_get_name(void* word, void* buffer, void* size)
{
    auto* ctx = static_cast<vmctx*>(word);
    auto* length = static_cast<size_t*>(size);
    if (!ctx || !buffer || !length) {
        errno = EINVAL;
        return -1;
    }
    if (*length < ctx->name.size() + 1) {
        *length = ctx->name.size() + 1;
        errno = ERANGE;
        return -1;
    }
    std::memcpy(buffer, ctx->name.c_str(), ctx->name.size() + 1);
    return 0;
}

int vm_get_vcpu_class(struct vmctx* ctx, int* vcpu_class)
{
    if (!vcpu_class) {
        errno = EINVAL;
        return -1;
    }
    if (!alive(ctx) || injected(*ctx->state, vmmsim::fault_get_class, EBUSY))
        return -1;
    *vcpu_class = load(ctx->state->vcpu_class);
    return 0;
}

int vm_set_vcpu_class(struct vmctx* ctx, int vcpu_class)
{
    if (vcpu_class < 0 || vcpu_class > vmmsim::max_class) {
        errno = EINVAL;
        return -1;
    }
    if (!alive(ctx) || injected(*ctx->state, vmmsim::fault_set_class, EPERM))
        return -1;
    store(ctx->state->vcpu_class, vcpu_class);
    return 0;
}

uint64_t* vm_get_stats(struct vcpu* cpu, struct timeval* stamp, int* count)
{
    // One buffer per calling thread keeps the array valid after the vCPU is
    // closed, and keeps two threads from overwriting each other's reading.
    static thread_local uint64_t buffer[vmmsim::counter_count];
    if (!cpu || !count) {
        errno = EINVAL;
        return nullptr;
    }
    if (!bound(cpu->ctx) || injected(*cpu->ctx->state, vmmsim::fault_stats, EBUSY))
        return nullptr;
    const vmmsim::VcpuSlot& slot = cpu->ctx->state->vcpu[cpu->number];
    for (int i = 0; i < vmmsim::counter_count; ++i)
        buffer[i] = load(slot.counters[i]);
    if (stamp)
        gettimeofday(stamp, nullptr);
    *count = vmmsim::counter_count;
    return buffer;
}

const char* vm_get_stat_desc(struct vmctx* ctx, int index)
{
    if (index < 0 || index >= vmmsim::counter_count)
        return nullptr;
    if (ctx && injected(*ctx->state, vmmsim::fault_stat_desc, EIO))
        return nullptr;
    return vmmsim::counter_descriptions[index];
}

int vm_checkpoint(const char* name, const char* file, int, int)
{
    if (!file || !*file) {
        errno = EINVAL;
        return -1;
    }
    if (!running(name))
        return -1;
    errno = EOPNOTSUPP;
    return -1;
}

int vm_livestream(const char* name, int, int, int, void*, void*)
{
    if (!running(name))
        return -1;
    errno = EOPNOTSUPP;
    return -1;
}

struct vcpu* vm_vcpu_open(struct vmctx* ctx, int number)
{
    if (!bound(ctx))
        return nullptr;
    if (number < 0 || number >= load(ctx->state->vcpus) || number >= vmmsim::max_vcpus) {
        errno = EINVAL;
        return nullptr;
    }
    vcpu* cpu = new (std::nothrow) vcpu{ctx, number};
    if (!cpu)
        errno = ENOMEM;
    return cpu;
}

void vm_vcpu_close(struct vcpu* cpu) { delete cpu; }

void* vm_get_config(const char* key)
{
    static thread_local char root[PATH_MAX];
    static char version[] = "1";
    if (!key)
        return nullptr;
    if (std::strcmp(key, "vmmsim.root") == 0) {
        std::snprintf(root, sizeof root, "%s", vmmsim::root_dir().c_str());
        return root;
    }
    return std::strcmp(key, "vmmsim.version") == 0 ? version : nullptr;
}

int vm_pause(void* word)
{
    auto* ctx = static_cast<vmctx*>(word);
    if (!alive(ctx))
        return -1;
    store(ctx->state->paused, 1);
    return 0;
}

int vm_resume(void* word)
{
    auto* ctx = static_cast<vmctx*>(word);
    if (!alive(ctx))
        return -1;
    store(ctx->state->paused, 0);
    return 0;
}

int vm_reconfig(void* word, nvlist_t* list)
{
    auto* ctx = static_cast<vmctx*>(word);
    int result = 0;
    int vcpu_class = -1;
    int demand = -1;
    if (!list || !alive(ctx)) {
        if (!list)
            errno = EINVAL;
        result = -1;
    } else {
        // Check everything before applying anything, so a bad entry changes nothing.
        bool has_class = FreeBSD_nvlist_exists(list, "class");
        bool has_demand = FreeBSD_nvlist_exists(list, "demand");
        if ((has_class &&
             !parse_bounded(FreeBSD_nvlist_get_string(list, "class"), vmmsim::max_class, vcpu_class)) ||
            (has_demand && !parse_bounded(FreeBSD_nvlist_get_string(list, "demand"), 100, demand))) {
            errno = EINVAL;
            result = -1;
        } else {
            if (has_class)
                store(ctx->state->vcpu_class, vcpu_class);
            if (has_demand)
                for (int i = 0; i < load(ctx->state->vcpus); ++i)
                    store(ctx->state->vcpu[i].demand, demand);
        }
    }
    int saved = errno;
    FreeBSD_nvlist_destroy(list);
    errno = saved;
    return result;
}

}  // extern "C"
