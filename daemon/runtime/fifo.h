#pragma once

#include <chrono>
#include <string>
#include <string_view>
#include <sys/types.h>

enum class FifoMode : int {
    Read = 0,   // creates the pipe when missing
    Write = 1,  // never creates; fails with ENXIO while nobody reads
};

// One end of a named pipe, opened non-blocking. Only ever opens a FIFO: the
// daemon runs as root and opens paths that requests name, so anything else
// (regular file, device, directory, socket) is refused without being written.
class Fifo {
public:
    // `error` value for a path that exists but is not a FIFO.
    static constexpr int not_a_fifo = -1;

    Fifo() = default;
    Fifo(FifoMode mode, const std::string& path) { open(mode, path); }
    ~Fifo() { close(); }
    Fifo(const Fifo&) = delete;
    Fifo& operator=(const Fifo&) = delete;

    bool open(FifoMode mode, const std::string& path);
    void close();
    bool is_open() const { return fd >= 0; }
    // One write call with SIGPIPE held back: bytes written, 0 when not open,
    // -1 on failure (`error` set; a broken pipe also closes the descriptor).
    ssize_t write(std::string_view text);
    // Writes all of `text`, waiting for room in the pipe for at most `budget`
    // in all; never blocks longer. The number of bytes written.
    size_t write_within(std::string_view text, std::chrono::milliseconds budget);
    // The system's text for `error`, or "Not a FIFO".
    std::string error_text() const;

    std::string path;
    int fd = -1;
    int error = 0;
};
