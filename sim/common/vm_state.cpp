#include "vm_state.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <utility>

namespace vmmsim {

const char* const counter_descriptions[counter_count] = {
    "total number of vcpu scheduling slices",
    "vcpu run time in us",
    "number of slices cut short by vcpu limit throttle",
    "sleeps in ms due to vcpu limit throttle",
    "sleeps in ms while the guest was idle",
};

namespace {

VmState* map_fd(int fd, bool writable)
{
    int prot = PROT_READ | (writable ? PROT_WRITE : 0);
    void* address = mmap(nullptr, sizeof(VmState), prot, MAP_SHARED, fd, 0);
    return address == MAP_FAILED ? nullptr : static_cast<VmState*>(address);
}

}  // namespace

StateMapping::StateMapping(StateMapping&& other) noexcept : state_(std::exchange(other.state_, nullptr)) {}

StateMapping& StateMapping::operator=(StateMapping&& other) noexcept
{
    if (this != &other) {
        if (state_)
            munmap(state_, sizeof(VmState));
        state_ = std::exchange(other.state_, nullptr);
    }
    return *this;
}

StateMapping::~StateMapping()
{
    if (state_)
        munmap(state_, sizeof(VmState));
}

StateMapping StateMapping::create(const std::string& path)
{
    int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    if (fd < 0)
        return {};
    VmState* state = nullptr;
    if (ftruncate(fd, sizeof(VmState)) == 0)
        state = map_fd(fd, true);
    int saved = errno;
    close(fd);
    if (!state) {
        unlink(path.c_str());
        errno = saved;
    }
    return StateMapping(state);
}

StateMapping StateMapping::anonymous()
{
    void* address = mmap(nullptr, sizeof(VmState), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
    return StateMapping(address == MAP_FAILED ? nullptr : static_cast<VmState*>(address));
}

StateMapping StateMapping::open(const std::string& path, bool writable)
{
    int fd = ::open(path.c_str(), (writable ? O_RDWR : O_RDONLY) | O_CLOEXEC);
    if (fd < 0)
        return {};
    struct stat st {};
    // A file shorter than the layout would fault on access, so check first;
    // a state still being created is not there yet.
    VmState* state = nullptr;
    if (fstat(fd, &st) == 0 && st.st_size == static_cast<off_t>(sizeof(VmState)))
        state = map_fd(fd, writable);
    close(fd);
    StateMapping mapping(state);
    if (!mapping || load(mapping->magic) != state_magic || mapping->version != state_version) {
        errno = ENOENT;
        return {};
    }
    return mapping;
}

void StateMapping::publish() { store(state_->magic, state_magic); }

void init_state(VmState& state, const std::string& name, int vcpus, const int* demand, int vcpu_class,
                int period_ms)
{
    state.version = state_version;
    state.supervisor_pid = 0;
    state.bhyve_pid = 0;
    state.vcpus = vcpus;
    state.vcpu_class = vcpu_class;
    state.start_class = vcpu_class;
    state.paused = 0;
    state.period_ms = period_ms;
    std::strncpy(state.name, name.c_str(), sizeof state.name - 1);
    for (int i = 0; i < vcpus && i < max_vcpus; ++i)
        state.vcpu[i].demand = demand[i];
}

void reset_state(VmState& state)
{
    for (VcpuSlot& slot : state.vcpu)
        for (uint64_t& counter : slot.counters)
            store<uint64_t>(counter, 0);
    for (int i = 0; i < state.vcpus && i < max_vcpus; ++i)
        clear_service(state.service[i]);
    store(state.vcpu_class, state.start_class);
    store(state.paused, 0);
}

bool process_exists(int pid) { return pid > 0 && (kill(pid, 0) == 0 || errno == EPERM); }

}  // namespace vmmsim
