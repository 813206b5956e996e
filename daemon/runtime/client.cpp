#include "runtime/driver.h"
#include "runtime/reply_path.h"

#include <cerrno>
#include <chrono>
#include <climits>
#include <csignal>
#include <cstdio>
#include <exception>
#include <memory>
#include <vector>

#include <poll.h>
#include <unistd.h>

#include <nlohmann/json.hpp>

#include "runtime/loop_guard.h"
#include "runtime/status_table.h"
#include "startup/identity.h"

namespace {

// A daemon that read the request but never answers must not hold the client
// forever.
constexpr double reply_timeout_seconds = 10.0;

struct ReplyWait {
    ev::loop_ref loop;
    bool timed_out = false;
    int interrupted_by = 0;  // the signal that ended the wait

    void on_timeout(ev::timer&, int)
    {
        timed_out = true;
        loop.break_loop(ev::ONE);
    }
    void on_signal(ev::sig& watcher, int)
    {
        interrupted_by = watcher.signum;
        loop.break_loop(ev::ONE);
    }
};

// Ctrl-C, kill or a closed terminal while waiting: caught, so that the reply
// pipe is removed before the client ends.
constexpr int interrupting_signals[] = {SIGINT, SIGTERM, SIGHUP};

// Removes the reply pipe on every way out, exceptions included.
struct ReplyPipeCloser {
    Driver& driver;
    ~ReplyPipeCloser() { driver.fifo_close(); }
};

void print_fifo_error(const std::string& path, const Fifo& fifo)
{
    std::fprintf(stderr, "Fifo error [%s]: %s\n", path.c_str(), fifo.error_text().c_str());
}

// The daemon's pipe took the request, so a daemon holds it open: it is not
// reading (hung, or stopping), or too busy to answer in time.
void print_no_reply(const std::string& reply_path)
{
    std::fprintf(stderr,
                 "No reply on [%s] within %.0f seconds: the daemon is not reading its pipe (hung or "
                 "stopping) or is too busy to answer\n",
                 reply_path.c_str(), reply_timeout_seconds);
}

// Reads the reply pipe up to the newline that ends a `status` reply, or up
// to the end of a plain reply. Empty when nothing came within the timeout or
// a signal in `wait`'s loop interrupted it.
std::string read_status_reply(int fd, ReplyWait& wait)
{
    using clock = std::chrono::steady_clock;
    const clock::time_point deadline =
        clock::now() +
        std::chrono::duration_cast<clock::duration>(std::chrono::duration<double>(reply_timeout_seconds));
    std::string reply;
    char buffer[Driver::read_chunk * 16];
    while (reply.empty() || (reply.front() == '{' && reply.back() != '\n')) {
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - clock::now());
        if (left.count() <= 0)
            return {};
        pollfd readable{fd, POLLIN, 0};
        if (::poll(&readable, 1, static_cast<int>(left.count())) <= 0) {
            // The loop's signal watchers learn of a signal only when it runs.
            wait.loop.run(ev::NOWAIT);
            if (wait.interrupted_by != 0)
                return {};
            continue;
        }
        const ssize_t count = ::read(fd, buffer, sizeof buffer);
        if (count > 0)
            reply.append(buffer, static_cast<size_t>(count));
        else if (count < 0 && errno != EAGAIN && errno != EINTR)
            return {};
    }
    return reply;
}

// Prints a `status` reply as a table, or as its JSON line for `json`.
bool print_status(const std::string& reply, bool as_json)
{
    if (reply.front() != '{') {
        std::fprintf(stderr, "%s\n", reply.c_str());
        return false;
    }
    const auto status = nlohmann::json::parse(reply, nullptr, false);
    if (!status.is_object()) {
        std::fputs("Status reply is not a JSON object\n", stderr);
        return false;
    }
    const std::string text = as_json ? reply : status_table(status);
    std::fputs(text.c_str(), stdout);
    return true;
}

// The request as one JSON line, printed unless it is `status`'s.
std::string request_line(const std::string& command, const std::string& argument,
                         const std::string& reply_path)
{
    const bool status = command == "status";
    nlohmann::json request;
    request["cmd"] = command;
    request["arg"] = status ? std::string() : argument;
    request["fifo"] = reply_path;
    // Keys come out sorted (arg, cmd, fifo); text that is not UTF-8 throws.
    const std::string text = request.dump();
    if (!status)
        std::printf("REQUEST: %s\n", text.c_str());
    // The error lines go to unbuffered stderr; keep the request line first.
    std::fflush(stdout);
    return text;
}

// The `status` reply, read here rather than through the Driver, which takes
// one pipe's worth, and printed.
int take_status_reply(Driver& driver, ReplyWait& wait, const std::string& reply_path, bool as_json)
{
    driver.io.stop();
    const std::string reply = read_status_reply(driver.reader.fd, wait);
    if (wait.interrupted_by != 0)
        return 128 + wait.interrupted_by;
    if (reply.empty()) {
        print_no_reply(reply_path);
        return 1;
    }
    return print_status(reply, as_json) ? 0 : 1;
}

// Runs the loop until the Driver's handler has printed the reply, the
// timeout or a signal.
int take_plain_reply(ev::loop_ref loop, ReplyWait& wait, const std::string& reply_path)
{
    ev::timer timeout(loop);
    timeout.set<ReplyWait, &ReplyWait::on_timeout>(&wait);
    timeout.start(reply_timeout_seconds, 0.0);
    run_guarded(loop);
    timeout.stop();
    if (wait.interrupted_by != 0)
        return 128 + wait.interrupted_by;
    if (wait.timed_out) {
        print_no_reply(reply_path);
        return 1;
    }
    return 0;
}

int send_request(const std::string& command, const std::string& argument)
{
    const bool status = command == "status";
    if (status && !argument.empty() && argument != "json") {
        std::fprintf(stderr, "Unknown status format: %s (json or nothing)\n", argument.c_str());
        return 1;
    }
    const std::string reply_path = fifo_path(program_name(), true);
    const std::string daemon_path = fifo_path(program_name(), false);
    const std::string text = request_line(command, argument, reply_path);
    if (text.size() > PIPE_BUF) {
        std::fprintf(stderr, "Request too long: %zu bytes, a pipe takes at most %d in one piece\n",
                     text.size(), PIPE_BUF);
        return 1;
    }

    Fifo daemon(FifoMode::Write, daemon_path);
    if (!daemon.is_open()) {
        print_fifo_error(daemon_path, daemon);
        return 1;
    }

    ev::dynamic_loop loop(0);
    ReplyWait wait{loop};
    Driver driver;
    driver.attach(loop);
    driver.handler = [&wait](const std::string& reply) {
        std::printf("  REPLY: %s\n", reply.c_str());
        wait.loop.break_loop(ev::ONE);
    };

    // Declared before the closer, so they are still caught while it removes
    // the pipe.
    std::vector<std::unique_ptr<ev::sig>> interrupts;
    for (const int signum : interrupting_signals) {
        interrupts.push_back(std::make_unique<ev::sig>(loop));
        interrupts.back()->set<ReplyWait, &ReplyWait::on_signal>(&wait);
        interrupts.back()->start(signum);
    }
    ReplyPipeCloser closer{driver};
    // The reply pipe exists and has a reader before the daemon can learn its name.
    if (!driver.fifo_open(reply_path)) {
        print_fifo_error(reply_path, driver.failed_end());
        return 1;
    }
    if (daemon.write(text) <= 0) {
        print_fifo_error(daemon_path, daemon);
        return 1;
    }
    return status ? take_status_reply(driver, wait, reply_path, argument == "json")
                  : take_plain_reply(loop, wait, reply_path);
}

}  // namespace

int Driver::fifo_send(const std::string& command, const std::string& argument)
{
    try {
        return send_request(command, argument);
    } catch (const std::exception& error) {
        std::fprintf(stderr, "Request error: %s\n", error.what());
    } catch (...) {
        std::fprintf(stderr, "Request error: unknown\n");
    }
    return 1;
}
