#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "recording/recording.h"

// Reads record files (gzip, as the daemon writes them, or plain text) into a
// Recording. Bad input never stops it: a cut last line, lines of garbage, a
// damaged or cut gzip stream, a clock that steps back each get one message
// naming the file and line, and reading goes on with the valid records. A
// delta record whose base is lost is skipped with those after it, up to the
// next keyframe.
class RecordReader {
public:
    using Report = std::function<void(const std::string&)>;
    // Hears of each tick taken, by its index in the recording, which it may
    // thin out with drop_ticks_before (keeping that tick, the base of the
    // next).
    using TickTaken = std::function<void(size_t index)>;
    explicit RecordReader(Report report, TickTaken taken = {})
        : report_(std::move(report)), taken_(std::move(taken))
    {}

    // False, with a message, when the file cannot be read at all.
    bool read(const std::string& path, Recording& into);
    // The contents of a file named `name`.
    void read_bytes(std::string_view bytes, const std::string& name, Recording& into);

    // Records that could not be used, over every file read.
    uint64_t skipped() const { return skipped_; }

private:
    class File;
    Report report_;
    TickTaken taken_;
    uint64_t skipped_ = 0;
};

// The first record of a recording, a header, as its first bytes hold it (a
// header lies well within the first 64 KiB); none when they start with no
// header.
struct FirstHeader {
    std::string line;
    int64_t wall_ns = 0;
};
std::optional<FirstHeader> first_header(std::string_view start);
