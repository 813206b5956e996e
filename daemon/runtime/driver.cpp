#include "runtime/driver.h"

#include <cerrno>

#include <unistd.h>

#include <spdlog/spdlog.h>

#include "runtime/loop_guard.h"

Driver::Driver() = default;

Driver::~Driver()
{
    handler = nullptr;
    // Watchers stop before their descriptor closes, as epoll and kqueue need.
    idle.stop();
    io.stop();
    keeper.close();
    reader.close();
}

void Driver::attach(ev::loop_ref loop)
{
    io.set(loop);
    idle.set(loop);
    io.set<guarded<Driver, ev::io, &Driver::on_readable>>(this);
    idle.set<guarded<Driver, ev::idle, &Driver::on_idle>>(this);
}

bool Driver::fifo_open(const std::string& path)
{
    if (!reader.open(FifoMode::Read, path))
        return false;
    io.start(reader.fd, ev::READ);
    return keeper.open(FifoMode::Write, path);
}

void Driver::fifo_close()
{
    idle.stop();
    io.stop();
    keeper.close();
    // Only a pipe this Driver really opened is removed: never some other file
    // that happened to sit at the path.
    const bool owned = reader.is_open();
    reader.close();
    if (owned)
        ::unlink(reader.path.c_str());
}

void Driver::on_readable(ev::io&, int)
{
    // Deferred until the loop has nothing else pending, so signals and timers
    // that became due at the same moment go first.
    io.stop();
    idle.start();
}

void Driver::on_idle(ev::idle&, int)
{
    idle.stop();

    std::string text;
    bool failed = false;
    bool emptied = false;
    const bool was_dropping = dropping;
    std::size_t discarded = 0;
    char buffer[read_chunk];
    for (;;) {
        const ssize_t count = ::read(io.fd, buffer, sizeof buffer);
        if (count <= 0) {
            if (count < 0 && errno != EAGAIN)
                failed = true;
            emptied = true;
            break;
        }
        if (!dropping && text.size() + static_cast<std::size_t>(count) <= max_request) {
            text.append(buffer, static_cast<std::size_t>(count));
            continue;
        }
        if (!dropping) {
            dropping = true;
            discarded = text.size();
            text.clear();
            text.shrink_to_fit();
        }
        discarded += static_cast<std::size_t>(count);
        if (discarded >= drop_per_drain)
            break;
    }

    if (dropping) {
        // Everything up to the moment the pipe is empty belongs to the one
        // oversized request: its tail is not a request of its own.
        if (!was_dropping)
            spdlog::info("[CLI] Request of more than {} bytes dropped", max_request);
        if (emptied) {
            dropping = false;
        } else {
            // Go on at the loop's next idle moment: waiting for the pipe to
            // become readable would miss that it is already empty, and take
            // the next request for more of this one.
            idle.start();
            return;
        }
    } else if (!failed && !text.empty() && handler) {
        handler(text);
    }

    io.stop();
    if (reader.is_open()) {
        io.set(reader.fd, ev::READ);
        io.start();
    }
}
