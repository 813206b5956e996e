// Bytes as a /proc stat line. The name between the parentheses is whatever
// its process set, so any bytes may stand there. The parser reads only the
// line, takes the name from the first '(' to the last ')', leaves its result
// alone when it refuses, and every name it gives back is terminated.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "proc_table.h"

namespace {

void require(bool holds)
{
    if (!holds)
        std::abort();
}

bool terminated(const char* text, size_t capacity) { return std::memchr(text, '\0', capacity) != nullptr; }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const char* text = reinterpret_cast<const char*>(data);
    compat::StatLine line;
    line.pid = -12345;
    line.comm[0] = 'x';
    if (!compat::parse_stat_line(text, size, line)) {
        require(line.pid == -12345 && line.comm[0] == 'x' && line.comm[1] == '\0');
        return 0;
    }

    require(terminated(line.comm, sizeof line.comm));
    const char* open = static_cast<const char*>(std::memchr(text, '(', size));
    require(open != nullptr);
    const size_t name_room = size - static_cast<size_t>(open + 1 - text);
    const size_t name_len = std::strlen(line.comm);
    require(name_len <= name_room && std::memcmp(line.comm, open + 1, name_len) == 0);

    const compat::ProcessRow row = compat::make_process_row(line);
    require(terminated(row.comm, sizeof row.comm));
    require(std::strncmp(row.comm, line.comm, sizeof row.comm - 1) == 0);
    require(row.ppid == 0 || row.ppid == line.ppid);
    require(row.pid == line.pid && row.pgid == line.pgid);
    return 0;
}
