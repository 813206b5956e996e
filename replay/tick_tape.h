#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "recording/record_reader.h"
#include "recording/recording.h"

// The ticks of a recording too large to hold, parsed once and kept compact
// in an unlinked file of their own, for replays that each read them again:
// decoding a tick costs a small part of inflating and parsing its text, and
// a replay holds only the ticks it has not yet dropped. Each field is kept
// as its difference from the same field of the tick before (a VM's and a
// vCPU's from the row at the same place), which is small for counters
// that grow by a tick's worth.
class TickTape {
public:
    TickTape() = default;
    ~TickTape();
    TickTape(const TickTape&) = delete;
    TickTape& operator=(const TickTape&) = delete;
    TickTape(TickTape&& other) noexcept;
    TickTape& operator=(TickTape&& other) noexcept;

    // Opens the file in TMPDIR (else /var/tmp); false, with `error`, when
    // it cannot be made.
    bool open(std::string& error);
    // Appends the recording's tick `index` with its rows; false, with
    // `error`, once a write failed.
    bool append(const Recording& recording, size_t index, std::string& error);
    // Writes out what is buffered, and keeps the headers and texts of
    // `recording` (which holds every header and text its ticks name).
    bool finish(const Recording& recording, std::string& error);

    bool is_open() const { return fd_ >= 0; }
    uint64_t bytes() const { return written_ + buffer_.size(); }

    // Feeds every tick into `into` (emptied first), as a reader would,
    // telling `taken` of each; false, with `error`, when the file cannot be
    // read back whole.
    bool play(Recording& into, const RecordReader::TickTaken& taken, std::string& error) const;

private:
    bool flush(std::string& error);

    int fd_ = -1;
    std::string buffer_;
    uint64_t written_ = 0;
    // The tick appended last and its rows, the base of the next.
    TickRow last_tick_;
    std::vector<VmRow> last_vms_;
    std::vector<VcpuRow> last_vcpus_;
    // What a replay starts from.
    std::vector<HeaderRow> headers_;
    std::vector<std::string> texts_;
};
