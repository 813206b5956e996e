// The process table, kept from one kvm handle to the next. The daemon opens
// a handle every tick; reading the stat of every process each time would
// cost more than all the rest of the tick.
#pragma once

#include <cstdint>
#include <mutex>
#include <span>
#include <sys/types.h>
#include <unordered_map>
#include <utility>
#include <vector>

#include "proc_table.h"

namespace compat {

class ProcessCache {
public:
    // Held around every call below.
    std::mutex mutex;

    // Starts over when `proc_dev` is another /proc (another pid namespace)
    // than the table was read from.
    void use_proc(dev_t proc_dev);
    // Changes whenever the table starts over; never 0.
    uint64_t epoch() const { return epoch_; }
    // Every process listed and read afresh.
    bool reload(int proc_fd);
    // Every process listed; only those not met before under the same /proc
    // inode are read, and those first read on the previous pass once more,
    // so that what a process changes just after it starts (its group, its
    // program) is still seen. False (with errno) when /proc cannot be listed.
    bool refresh(int proc_fd);

    const std::vector<ProcessRow>& rows() const { return rows_; }
    // What was learnt of the threads of rows()[index].
    std::vector<KnownThread>& threads(size_t index) { return seen_[index].threads; }
    // (pgid, index in rows()) of the members of `pgid`, in table order.
    std::span<const std::pair<pid_t, size_t>> group(pid_t pgid);

private:
    struct Seen {
        ino_t ino = 0;
        bool settled = false;  // read on two passes under the same inode
        std::vector<KnownThread> threads;
    };

    bool sync(int proc_fd, bool read_all);

    std::vector<ProcessRow> rows_;
    std::vector<Seen> seen_;  // beside rows_
    std::unordered_map<pid_t, size_t> index_;
    std::vector<std::pair<pid_t, size_t>> by_group_;  // sorted
    bool grouped_ = false;
    dev_t proc_dev_ = 0;
    uint64_t epoch_ = 1;
    std::vector<ProcessEntry> listing_;  // kept to spare its allocation each pass
};

// The one table of this process.
ProcessCache& process_cache();

}  // namespace compat
