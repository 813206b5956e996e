#include "process_cache.h"

#include <algorithm>

namespace compat {

void ProcessCache::use_proc(dev_t proc_dev)
{
    if (proc_dev == proc_dev_)
        return;
    rows_.clear();
    seen_.clear();
    index_.clear();
    by_group_.clear();
    grouped_ = false;
    proc_dev_ = proc_dev;
    ++epoch_;
}

bool ProcessCache::reload(int proc_fd) { return sync(proc_fd, true); }

bool ProcessCache::refresh(int proc_fd) { return sync(proc_fd, false); }

bool ProcessCache::sync(int proc_fd, bool read_all)
{
    if (!list_processes(proc_fd, listing_))
        return false;
    std::vector<ProcessRow> rows;
    std::vector<Seen> seen;
    rows.reserve(listing_.size());
    seen.reserve(listing_.size());
    bool changed = read_all || listing_.size() != rows_.size();
    for (const ProcessEntry& entry : listing_) {
        const auto known = index_.find(entry.pid);
        const bool same = known != index_.end() && seen_[known->second].ino == entry.ino;
        if (same && seen_[known->second].settled && !read_all) {
            rows.push_back(rows_[known->second]);
            seen.push_back({entry.ino, true, std::move(seen_[known->second].threads)});
            continue;
        }
        // A process may end between the listing and the read.
        ProcessRow row;
        if (!read_process(proc_fd, entry.pid, row))
            continue;
        changed = true;
        rows.push_back(row);
        seen.push_back({entry.ino, same, {}});
        if (same)
            seen.back().threads = std::move(seen_[known->second].threads);
    }
    // The same processes in the same order keep the index and the groups.
    changed = changed || rows.size() != rows_.size();
    rows_ = std::move(rows);
    seen_ = std::move(seen);
    if (!changed)
        return true;
    index_.clear();
    index_.reserve(rows_.size());
    for (size_t i = 0; i < rows_.size(); ++i)
        index_.emplace(rows_[i].pid, i);
    grouped_ = false;
    return true;
}

std::span<const std::pair<pid_t, size_t>> ProcessCache::group(pid_t pgid)
{
    if (!grouped_) {
        by_group_.clear();
        by_group_.reserve(rows_.size());
        for (size_t i = 0; i < rows_.size(); ++i)
            by_group_.emplace_back(rows_[i].pgid, i);
        std::sort(by_group_.begin(), by_group_.end());
        grouped_ = true;
    }
    const auto first = std::lower_bound(by_group_.begin(), by_group_.end(), std::make_pair(pgid, size_t{0}));
    auto last = first;
    while (last != by_group_.end() && last->first == pgid)
        ++last;
    return {first, last};
}

ProcessCache& process_cache()
{
    static ProcessCache cache;
    return cache;
}

}  // namespace compat
