// sysctl and sysctlbyname on Linux, for the names the system uses.
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <new>
#include <unistd.h>
#include <vector>

#include "compat/src/cp_time.h"
#include "knob_store.h"
#include "own_arguments.h"
#include "platform_kernel.h"
#include "proc_table.h"
#include "sysctl_out.h"

namespace {

constexpr unsigned int kMaxNameLevels = 24;  // CTL_MAXNAME

int cp_time_sysctl(void* oldp, size_t* oldlenp, const void* newp)
{
    if (newp != nullptr)
        return EPERM;  // read-only
    long cp_time[CPUSTATES] = {};
    if (oldp != nullptr && compat::read_cp_time(cp_time) != 0)
        return errno;
    return compat::sysctl_out(cp_time, sizeof cp_time, oldp, oldlenp);
}

// {CTL_KERN, KERN_PROC, KERN_PROC_ARGS, pid}: any process's arguments may be
// read, only the caller's own replaced. Pid -1 is the caller.
int proc_args_sysctl(pid_t pid, void* oldp, size_t* oldlenp, const void* newp, size_t newlen)
{
    const pid_t self = getpid();
    if (pid == -1)
        pid = self;
    if (newp != nullptr && pid != self)
        return EPERM;

    if (oldp != nullptr || oldlenp != nullptr) {
        int proc_fd = open("/proc", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (proc_fd < 0)
            return errno;
        std::vector<char> text;
        bool ok = compat::read_cmdline(proc_fd, pid, text);
        int saved = errno;
        close(proc_fd);
        if (!ok)
            return saved == ENOENT ? ESRCH : saved;
        if (int err = compat::sysctl_out(text.data(), text.size(), oldp, oldlenp))
            return err;
    }
    if (newp == nullptr)
        return 0;
    return compat::set_own_arguments(newp, newlen);
}

int dispatch_by_name(const char* name, void* oldp, size_t* oldlenp, const void* newp, size_t newlen)
{
    if (name == nullptr)
        return EINVAL;
    if (std::strcmp(name, "kern.cp_time") == 0)
        return cp_time_sysctl(oldp, oldlenp, newp);
    if (compat::is_knob_name(name))
        return compat::knob_sysctl(name, oldp, oldlenp, newp, newlen);
    return ENOENT;
}

int dispatch_by_mib(const int* name, unsigned int namelen, void* oldp, size_t* oldlenp, const void* newp,
                    size_t newlen)
{
    if (name == nullptr || namelen < 2 || namelen > kMaxNameLevels)
        return EINVAL;
    if (name[0] != CTL_KERN || name[1] != KERN_PROC)
        return ENOENT;
    if (namelen < 3 || name[2] != KERN_PROC_ARGS)
        return ENOENT;
    if (namelen != 4)
        return EINVAL;
    return proc_args_sysctl(static_cast<pid_t>(name[3]), oldp, oldlenp, newp, newlen);
}

int result(int err)
{
    if (err == 0)
        return 0;
    errno = err;
    return -1;
}

}  // namespace

extern "C" {

int sysctlbyname(const char* name, void* oldp, size_t* oldlenp, const void* newp, size_t newlen)
{
    try {
        return result(dispatch_by_name(name, oldp, oldlenp, newp, newlen));
    } catch (const std::bad_alloc&) {
        return result(ENOMEM);
    }
}

int sysctl(const int* name, unsigned int namelen, void* oldp, size_t* oldlenp, const void* newp,
           size_t newlen)
{
    try {
        return result(dispatch_by_mib(name, namelen, oldp, oldlenp, newp, newlen));
    } catch (const std::bad_alloc&) {
        return result(ENOMEM);
    }
}

}  // extern "C"
