#pragma once

#include <chrono>
#include <cstddef>
#include <functional>
#include <string>

#include <ev++.h>

#include "runtime/fifo.h"

// A named pipe watched on a libev loop: a readable pipe schedules an idle
// callback, which drains it and hands the text to `handler`. Both watchers
// carry the Driver's address, so a Driver never moves.
// "Driver" is the system's own name for the command channel, not a device driver.
class Driver {
public:
    using Handler = std::function<void(const std::string&)>;

    // Largest text taken as one request; a longer one is dropped whole, up to
    // the next moment the pipe is empty, with one log line.
    static constexpr std::size_t max_request = 64 * 1024;
    static constexpr std::size_t read_chunk = 1024;
    // One drain reads at most this much of an oversized request, so ticks
    // and signals still get their turn; the next drain goes on dropping.
    static constexpr std::size_t drop_per_drain = 4 * max_request;

    Driver();  // watchers on the default loop, no callbacks yet
    ~Driver();
    Driver(const Driver&) = delete;
    Driver& operator=(const Driver&) = delete;

    // Moves both watchers to `loop` (they must be inactive) and sets their
    // callbacks to on_readable / on_idle.
    void attach(ev::loop_ref loop);

    // Creates the pipe if needed, opens it for reading, starts watching, and
    // opens the keep-alive writer. True when the reader and the writer opened.
    bool fifo_open(const std::string& path);
    // After fifo_open failed: the end that did not open, whose error says why.
    const Fifo& failed_end() const { return reader.is_open() ? keeper : reader; }
    // Stops watching, closes both ends, removes the pipe file.
    void fifo_close();

    void on_readable(ev::io& watcher, int revents);
    void on_idle(ev::idle& watcher, int revents);

    // The text of a `status` reply.
    using StatusSource = std::function<std::string()>;
    // Longest a reply may keep the daemon waiting for a slow reader.
    static constexpr std::chrono::milliseconds reply_budget{200};

    // The daemon's request handler; `status` answers what `status` gives.
    static Handler exec(StatusSource status = {});  // defined in request.cpp
    // The client: one request, one reply. The exit status: 0 when answered,
    // 1 when the request could not be delivered or answered, 128 + the
    // signal that interrupted the wait (the reply pipe removed all the same).
    static int fifo_send(const std::string& command, const std::string& argument);  // defined in client.cpp

    ev::io io;
    ev::idle idle;
    Fifo reader;
    // Never written: keeps a writer on the pipe, so an empty pipe reads as
    // EAGAIN rather than end-of-file once a requester has closed its end.
    Fifo keeper;
    Handler handler;
    // An oversized request is being dropped until the pipe is next empty.
    bool dropping = false;
};
