#pragma once

#include <string>
#include <string_view>

#include <sys/types.h>

#include "gzip/gzip_deflate.h"

// Appends gzip members to a file, for zcat and halvorn-replay alike. Text
// is compressed in memory and reaches the file only at flush(), so a crash
// loses what came after the last flush, and at worst leaves a cut member.
// Bytes a write could not take stay pending for the next flush.
class GzipAppender {
public:
    GzipAppender() = default;
    ~GzipAppender();  // finishes the member and closes
    GzipAppender(const GzipAppender&) = delete;
    GzipAppender& operator=(const GzipAppender&) = delete;

    // Opens `path`, a regular file and no link, for appending, creating it
    // with mode 0640. False, with error() set, when it cannot.
    bool open(const std::string& path);
    bool is_open() const { return fd_ >= 0; }
    // Finishes the member, writes what it can and closes.
    void close();
    // Ends the member in progress (if any) and starts the next one.
    void begin_member();
    void add(std::string_view text);
    // Sync-flushes the member and writes every pending byte. False, with
    // error() set, when a write fails; the bytes it did not take stay
    // pending.
    bool flush();
    // Gives up the pending bytes and the member in progress, cuts a partly
    // written member off the file when nobody else has written to it, and
    // closes.
    void abandon();
    // The path names another file than the one open, or none: it was
    // rotated or removed.
    bool replaced(const std::string& path) const;

    size_t pending() const { return pending_.size(); }
    const std::string& error() const { return error_; }

private:
    GzipDeflate deflate_;  // knows whether a member is open
    int fd_ = -1;
    std::string pending_;
    std::string error_;
    off_t written_ = 0;          // the file's size as far as we wrote it
    off_t members_end_ = 0;      // where the last whole member ends
    size_t member_pending_ = 0;  // pending bytes that belong to the open member
};
