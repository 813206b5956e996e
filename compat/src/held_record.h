// A /proc record kept open from one read to the next. A tick reads the run
// time of every vCPU thread; walking the path and opening the file each time
// costs more than producing the record.
#pragma once

#include <cstddef>
#include <sys/types.h>

namespace compat {

class HeldRecord {
public:
    HeldRecord() = default;
    HeldRecord(HeldRecord&& other) noexcept;
    HeldRecord& operator=(HeldRecord&& other) noexcept;
    HeldRecord(const HeldRecord&) = delete;
    HeldRecord& operator=(const HeldRecord&) = delete;
    ~HeldRecord();

    // The record at `path` (relative to `dirfd`), as read_proc_record gives
    // it: through the descriptor held since an earlier read, else opened
    // afresh and held while the process-wide budget allows. A held record
    // that no longer reads is let go and its path tried once more.
    ssize_t read(int dirfd, const char* path, char* buf, size_t size);

    // Descriptors all records together may hold: a quarter of the open-file
    // limit, at most 4096, and 256 when the limit is unlimited or unknown, so
    // the rest of the program always has room.
    static int budget();
    static int held_count();

private:
    void release();

    int fd_ = -1;
};

}  // namespace compat
