#include "knob_store.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "proc_read.h"
#include "sysctl_out.h"

namespace compat {

namespace {

constexpr char knob_prefix[] = "hw.vmm.";

const char* store_root()
{
    const char* root = std::getenv("VMMSIM_ROOT");
    return root != nullptr && *root != '\0' ? root : "/var/run/vmmsim";
}

// Reads the knob's value. 0 or an errno value.
int load(const char* path, int* value)
{
    char buf[64];
    ssize_t n = read_text_file(AT_FDCWD, path, buf, sizeof buf);
    if (n < 0)
        return errno == ENOENT || errno == ENOTDIR ? ENOENT : errno;
    char* end = nullptr;
    errno = 0;
    long v = std::strtol(buf, &end, 10);
    while (end != nullptr && (*end == ' ' || *end == '\n' || *end == '\t'))
        ++end;
    // A file that does not hold exactly one int is a broken store, not a 0.
    if (end == buf || end == nullptr || *end != '\0' || errno == ERANGE || v < INT_MIN || v > INT_MAX)
        return EIO;
    *value = static_cast<int>(v);
    return 0;
}

// Replaces the knob's file in one step: concurrent readers see the old or
// the new value, never a partly written one.
int store(const char* path, const std::string& temp_pattern, int value)
{
    struct stat st;
    if (stat(path, &st) != 0)
        return errno == ENOENT || errno == ENOTDIR ? ENOENT : errno;

    std::string tmp = temp_pattern;
    int fd = mkstemp(tmp.data());
    if (fd < 0)
        return errno;
    char text[32];
    int len = std::snprintf(text, sizeof text, "%d\n", value);
    int err = 0;
    if (fchmod(fd, st.st_mode & 07777) != 0 || write(fd, text, static_cast<size_t>(len)) != len)
        err = errno != 0 ? errno : EIO;
    if (close(fd) != 0 && err == 0)
        err = errno;
    if (err == 0 && rename(tmp.c_str(), path) != 0)
        err = errno;
    if (err != 0)
        unlink(tmp.c_str());
    return err;
}

}  // namespace

bool is_knob_name(const char* name)
{
    return std::strncmp(name, knob_prefix, sizeof knob_prefix - 1) == 0 &&
           name[sizeof knob_prefix - 1] != '\0';
}

std::string knob_directory() { return std::string(store_root()) + "/sysctl/"; }

int knob_sysctl(const char* name, void* oldp, size_t* oldlenp, const void* newp, size_t newlen)
{
    // A name is one file in the store, never a path out of it.
    if (std::strchr(name, '/') != nullptr || std::strlen(name) > NAME_MAX - 8)
        return ENOENT;
    const std::string dir = knob_directory();
    const std::string path = dir + name;

    int value = 0;
    if (int err = load(path.c_str(), &value))
        return err;
    if (int err = sysctl_out(&value, sizeof value, oldp, oldlenp))
        return err;
    if (newp == nullptr)
        return 0;
    if (newlen < sizeof(int))
        return EINVAL;
    int next;
    std::memcpy(&next, newp, sizeof next);
    // Hidden, so that a listing of the store never shows a half-made knob.
    return store(path.c_str(), dir + "." + name + ".XXXXXX", next);
}

}  // namespace compat
