#include "runtime/driver.h"

#include <climits>
#include <cstdio>
#include <exception>

#include <nlohmann/json.hpp>

#include "runtime/loop_guard.h"
#include "startup/identity.h"

namespace {

// A daemon that read the request but never answers must not hold the client
// forever.
constexpr double reply_timeout_seconds = 10.0;

struct ReplyWait {
    ev::loop_ref loop;
    bool timed_out = false;

    void on_timeout(ev::timer&, int)
    {
        timed_out = true;
        loop.break_loop(ev::ONE);
    }
};

// Removes the reply pipe on every way out, exceptions included.
struct ReplyPipeCloser {
    Driver& driver;
    ~ReplyPipeCloser() { driver.fifo_close(); }
};

void print_fifo_error(const std::string& path, const Fifo& fifo)
{
    std::fprintf(stderr, "Fifo error [%s]: %s\n", path.c_str(), fifo.error_text().c_str());
}

bool send_request(const std::string& command, const std::string& argument)
{
    const std::string reply_path = fifo_path(program_name(), true);
    const std::string daemon_path = fifo_path(program_name(), false);

    nlohmann::json request;
    request["cmd"] = command;
    request["arg"] = argument;
    request["fifo"] = reply_path;
    // Keys come out sorted (arg, cmd, fifo); text that is not UTF-8 throws.
    const std::string text = request.dump();
    std::printf("REQUEST: %s\n", text.c_str());
    // The error lines go to unbuffered stderr; keep the request line first.
    std::fflush(stdout);

    if (text.size() > PIPE_BUF) {
        std::fprintf(stderr, "Request too long: %zu bytes, a pipe takes at most %d in one piece\n",
                     text.size(), PIPE_BUF);
        return false;
    }

    Fifo daemon(FifoMode::Write, daemon_path);
    if (!daemon.is_open()) {
        print_fifo_error(daemon_path, daemon);
        return false;
    }

    ev::dynamic_loop loop(0);
    ReplyWait wait{loop};
    Driver driver;
    driver.attach(loop);
    driver.handler = [&wait](const std::string& reply) {
        std::printf("  REPLY: %s\n", reply.c_str());
        wait.loop.break_loop(ev::ONE);
    };

    ReplyPipeCloser closer{driver};
    // The reply pipe exists and has a reader before the daemon can learn its name.
    if (!driver.fifo_open(reply_path)) {
        print_fifo_error(reply_path, driver.failed_end());
        return false;
    }

    const ssize_t written = daemon.write(text);
    if (written <= 0) {
        print_fifo_error(daemon_path, daemon);
        return false;
    }

    ev::timer timeout(loop);
    timeout.set<ReplyWait, &ReplyWait::on_timeout>(&wait);
    timeout.start(reply_timeout_seconds, 0.0);
    run_guarded(loop);
    timeout.stop();
    if (wait.timed_out) {
        std::fprintf(stderr, "No reply on [%s] within %.0f seconds\n", reply_path.c_str(),
                     reply_timeout_seconds);
        return false;
    }
    return true;
}

}  // namespace

bool Driver::fifo_send(const std::string& command, const std::string& argument)
{
    try {
        return send_request(command, argument);
    } catch (const std::exception& error) {
        std::fprintf(stderr, "Request error: %s\n", error.what());
    } catch (...) {
        std::fprintf(stderr, "Request error: unknown\n");
    }
    return false;
}
