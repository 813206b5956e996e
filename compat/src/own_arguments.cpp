#include "own_arguments.h"

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <fcntl.h>
#include <mutex>
#include <sys/prctl.h>

#include "proc_read.h"

namespace compat {

namespace {

struct Area {
    unsigned long start = 0;
    unsigned long end = 0;
};

// Two buffers that live as long as the process: a new text goes into the one
// the kernel does not point at, so a reader never sees it half written.
char g_buffers[2][kOwnArgumentsLimit];
int g_current = -1;  // buffer in use, -1 while the original area is shown
Area g_original;
std::mutex g_mutex;

// arg_start and arg_end are fields 48 and 49 of /proc/self/stat.
int current_area(Area* area)
{
    char buf[1024];
    ssize_t n = read_text_file(AT_FDCWD, "/proc/self/stat", buf, sizeof buf);
    if (n < 0)
        return errno;
    const char* p = std::strrchr(buf, ')');
    if (p == nullptr)
        return EIO;
    ++p;
    const char* end = buf + n;
    uint64_t value = 0;
    for (int field = 3; field <= 49; ++field) {
        while (p < end && *p == ' ')
            ++p;
        const char* token = p;
        while (p < end && *p != ' ' && *p != '\n')
            ++p;
        if (token == p)
            return EIO;
        if (field >= 48) {
            const char* q = token;
            if (!parse_u64(&q, p, &value) || q != p)
                return EIO;
            (field == 48 ? area->start : area->end) = static_cast<unsigned long>(value);
        }
    }
    return 0;
}

int set_field(int option, unsigned long address)
{
    return prctl(PR_SET_MM, option, address, 0, 0) == 0 ? 0 : errno;
}

// The kernel checks start <= end after each single change, so the order of
// the two changes depends on where the new area lies.
int move_area(const Area& from, const Area& to)
{
    const bool start_first = to.start <= from.end;
    const int first = start_first ? PR_SET_MM_ARG_START : PR_SET_MM_ARG_END;
    const int second = start_first ? PR_SET_MM_ARG_END : PR_SET_MM_ARG_START;
    auto pick = [](const Area& a, int option) { return option == PR_SET_MM_ARG_START ? a.start : a.end; };

    if (int err = set_field(first, pick(to, first)))
        return err;
    if (int err = set_field(second, pick(to, second))) {
        set_field(first, pick(from, first));
        return err;
    }
    return 0;
}

}  // namespace

int set_own_arguments(const void* text, size_t len)
{
    const char* bytes = static_cast<const char*>(text);
    const bool add_nul = len > 0 && bytes[len - 1] != '\0';
    if (len + (add_nul ? 1 : 0) > kOwnArgumentsLimit)
        return ENOMEM;

    std::lock_guard lock(g_mutex);
    Area now;
    if (int err = current_area(&now))
        return err;

    if (len == 0) {
        if (g_current < 0)
            return 0;
        if (int err = move_area(now, g_original))
            return err;
        g_current = -1;
        return 0;
    }

    const int next = g_current == 0 ? 1 : 0;
    char* buffer = g_buffers[next];
    std::memcpy(buffer, bytes, len);
    if (add_nul)
        buffer[len++] = '\0';
    const Area to{reinterpret_cast<unsigned long>(buffer), reinterpret_cast<unsigned long>(buffer + len)};
    if (int err = move_area(now, to))
        return err;
    if (g_current < 0)
        g_original = now;
    g_current = next;
    return 0;
}

}  // namespace compat
