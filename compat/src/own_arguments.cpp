#include "own_arguments.h"

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <fcntl.h>
#include <linux/prctl.h>
#include <mutex>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <unistd.h>

#include "proc_read.h"

namespace compat {

namespace {

// The process's memory layout as /proc/self/stat reports it (fields 26-28
// and 45-51) plus the current break.
struct Layout {
    unsigned long start_code = 0, end_code = 0, start_stack = 0;
    unsigned long start_data = 0, end_data = 0, start_brk = 0;
    unsigned long arg_start = 0, arg_end = 0, env_start = 0, env_end = 0;
    unsigned long brk = 0;
};

// The kernel shows an argument area to other processes only from anonymous
// memory, and it must outlive every reader: two buffers in one mapping that
// is never unmapped. A new text goes into the buffer not on show, so a
// reader never sees one half written.
char* g_buffers = nullptr;
int g_current = -1;  // buffer on show, -1 while the original area is
unsigned long g_original_start = 0, g_original_end = 0;
std::mutex g_mutex;

int read_layout(Layout* out)
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
    Layout layout;
    for (int field = 3; field <= 51; ++field) {
        while (p < end && *p == ' ')
            ++p;
        const char* token = p;
        while (p < end && *p != ' ' && *p != '\n')
            ++p;
        if (token == p)
            return EIO;
        unsigned long* slot = nullptr;
        switch (field) {
        case 26: slot = &layout.start_code; break;
        case 27: slot = &layout.end_code; break;
        case 28: slot = &layout.start_stack; break;
        case 45: slot = &layout.start_data; break;
        case 46: slot = &layout.end_data; break;
        case 47: slot = &layout.start_brk; break;
        case 48: slot = &layout.arg_start; break;
        case 49: slot = &layout.arg_end; break;
        case 50: slot = &layout.env_start; break;
        case 51: slot = &layout.env_end; break;
        default: continue;
        }
        uint64_t value = 0;
        const char* q = token;
        if (!parse_u64(&q, p, &value) || q != p)
            return EIO;
        *slot = static_cast<unsigned long>(value);
    }
    layout.brk = reinterpret_cast<unsigned long>(sbrk(0));
    *out = layout;
    return 0;
}

// All fields at once: needs no capability (only a kernel with checkpoint/
// restore support). The other fields are handed back as they are; the
// caller holds the only thread that changes them (the daemon sets its
// title once, at start-up).
int set_by_map(const Layout& now, unsigned long start, unsigned long end)
{
    prctl_mm_map map{};
    map.start_code = now.start_code;
    map.end_code = now.end_code;
    map.start_data = now.start_data;
    map.end_data = now.end_data;
    map.start_brk = now.start_brk;
    map.brk = now.brk;
    map.start_stack = now.start_stack;
    map.arg_start = start;
    map.arg_end = end;
    map.env_start = now.env_start;
    map.env_end = now.env_end;
    map.exe_fd = static_cast<__u32>(-1);
    return prctl(PR_SET_MM, PR_SET_MM_MAP, &map, sizeof map, 0) == 0 ? 0 : errno;
}

int set_field(int option, unsigned long address)
{
    return prctl(PR_SET_MM, option, address, 0, 0) == 0 ? 0 : errno;
}

// One field at a time: needs CAP_SYS_RESOURCE. The kernel checks
// start <= end after each change, so the order depends on where the new
// area lies.
int set_by_fields(const Layout& now, unsigned long start, unsigned long end)
{
    const bool start_first = start <= now.arg_end;
    const int first = start_first ? PR_SET_MM_ARG_START : PR_SET_MM_ARG_END;
    const int second = start_first ? PR_SET_MM_ARG_END : PR_SET_MM_ARG_START;
    if (int err = set_field(first, start_first ? start : end))
        return err;
    if (int err = set_field(second, start_first ? end : start)) {
        set_field(first, start_first ? now.arg_start : now.arg_end);
        return err;
    }
    return 0;
}

int show_area(unsigned long start, unsigned long end)
{
    Layout now;
    if (int err = read_layout(&now))
        return err;
    int err = set_by_map(now, start, end);
    if (err != 0 && set_by_fields(now, start, end) == 0)
        err = 0;
    if (err == 0 && g_current < 0) {
        g_original_start = now.arg_start;
        g_original_end = now.arg_end;
    }
    return err;
}

}  // namespace

int set_own_arguments(const void* text, size_t len)
{
    const char* bytes = static_cast<const char*>(text);
    const bool add_nul = len > 0 && bytes[len - 1] != '\0';
    if (len + (add_nul ? 1 : 0) > own_arguments_limit)
        return ENOMEM;

    std::lock_guard lock(g_mutex);
    if (len == 0) {
        if (g_current < 0)
            return 0;
        if (int err = show_area(g_original_start, g_original_end))
            return err;
        g_current = -1;
        return 0;
    }

    if (g_buffers == nullptr) {
        void* area = mmap(nullptr, 2 * own_arguments_limit, PROT_READ | PROT_WRITE,
                          MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (area == MAP_FAILED)
            return errno;
        g_buffers = static_cast<char*>(area);
    }
    const int next = g_current == 0 ? 1 : 0;
    char* buffer = g_buffers + next * own_arguments_limit;
    std::memcpy(buffer, bytes, len);
    if (add_nul)
        buffer[len++] = '\0';
    const auto start = reinterpret_cast<unsigned long>(buffer);
    if (int err = show_area(start, start + len))
        return err;
    g_current = next;
    return 0;
}

}  // namespace compat
