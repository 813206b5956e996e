// The process logger, each case in a child with its standard output on a
// pipe or a terminal and its own /dev/log (a datagram socket on a private
// tmpfs over /dev, in a private mount namespace).

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <regex>
#include <string>
#include <vector>

#include <fcntl.h>
#include <pty.h>
#include <sched.h>
#include <spdlog/spdlog.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "child_process.h"
#include "run_program.h"
#include "startup/logging.h"
#include "startup/settings.h"

namespace {

struct Captured {
    int status = -1;
    pid_t pid = 0;
    std::string console;
    std::vector<std::string> records;  // syslog datagrams, in order
};

enum class Output { pipe, terminal };

// In the child, whose standard output is the console: sets the logger up,
// runs `body`, then passes on the syslog records it received.
int run_child(int level, int records_fd, const std::function<bool()>& body)
{
    if (unshare(CLONE_NEWNS) != 0 || mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
        mount("tmpfs", "/dev", "tmpfs", 0, "mode=0755") != 0)
        return 90;
    const int sock = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::snprintf(addr.sun_path, sizeof addr.sun_path, "/dev/log");
    if (sock < 0 || bind(sock, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0)
        return 91;
    // Colour then depends only on whether standard output is a terminal.
    setenv("TERM", "xterm-256color", 1);

    Settings::instance().log_level = level;
    setup_logging();
    const bool ok = body();
    std::fflush(stdout);

    // Everything was sent before body() returned; a short wait finds it all.
    timeval wait{0, 300 * 1000};
    setsockopt(sock, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait);
    char buffer[4096];
    ssize_t n;
    while ((n = recv(sock, buffer, sizeof buffer, 0)) >= 0) {
        if (write(records_fd, buffer, static_cast<size_t>(n)) < 0 || write(records_fd, "", 1) < 0)
            return 92;
    }
    return ok ? 0 : 1;
}

Captured capture(int level, Output output, const std::function<bool()>& body)
{
    int console[2];
    int records[2];
    if (output == Output::terminal) {
        if (openpty(&console[0], &console[1], nullptr, nullptr, nullptr) != 0)
            throw std::runtime_error("openpty failed");
    } else if (pipe(console) != 0) {
        throw std::runtime_error("pipe failed");
    }
    if (pipe(records) != 0)
        throw std::runtime_error("pipe failed");

    Captured c;
    {
        ChildProcess child(
            [&] {
                close(console[0]);
                close(records[0]);
                return run_child(level, records[1], body);
            },
            {.stdout_fd = console[1], .stderr_fd = STDERR_FILENO});
        c.pid = child.pid();
        close(console[1]);
        close(records[1]);

        std::string raw_records;
        read_until_closed({{console[0], &c.console}, {records[0], &raw_records}},
                          std::chrono::steady_clock::now() + std::chrono::seconds(10));
        c.status = child.wait(1);  // killed by its end when the deadline passed
        for (size_t start = 0, end; (end = raw_records.find('\0', start)) != std::string::npos;
             start = end + 1)
            c.records.push_back(raw_records.substr(start, end - start));
    }
    return c;
}

std::string console_line(pid_t pid, char letter, const std::string& text)
{
    return R"(\[\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3}\] \[)" + std::string(1, letter) + R"(\] \[)" +
           std::to_string(pid) + R"(\] )" + text + "\n";
}

std::string syslog_record(int priority, const std::string& text)
{
    return "<" + std::to_string(priority) + R"(>[A-Z][a-z]{2} [ \d]\d \d\d:\d\d:\d\d halvorn: )" + text;
}

bool matches(const std::string& text, const std::string& pattern)
{
    return std::regex_match(text, std::regex(pattern));
}

}  // namespace

TEST(ProcessLogging, PlainConsoleLinesAndBareSyslogRecords)
{
    const Captured c = capture(2, Output::pipe, [] {
        spdlog::debug("below the level");
        spdlog::info("hello {}", 42);
        spdlog::warn("careful");
        return spdlog::default_logger()->name() == "logger";
    });
    ASSERT_EQ(c.status, 0);
    EXPECT_EQ(c.console.find('\x1b'), std::string::npos);
    EXPECT_TRUE(
        matches(c.console, console_line(c.pid, 'I', "hello 42") + console_line(c.pid, 'W', "careful")))
        << c.console;
    ASSERT_EQ(c.records.size(), 2u);
    // LOG_LOCAL0 with LOG_INFO, then with LOG_WARNING.
    EXPECT_TRUE(matches(c.records[0], syslog_record(134, "hello 42"))) << c.records[0];
    EXPECT_TRUE(matches(c.records[1], syslog_record(132, "careful"))) << c.records[1];
}

TEST(ProcessLogging, ColoursTheLevelOnATerminal)
{
    const Captured c = capture(0, Output::terminal, [] {
        spdlog::trace("traced");
        return true;
    });
    ASSERT_EQ(c.status, 0);
    EXPECT_NE(c.console.find("\x1b["), std::string::npos) << c.console;
    EXPECT_NE(c.console.find("traced"), std::string::npos);
    ASSERT_EQ(c.records.size(), 1u);
    EXPECT_TRUE(matches(c.records[0], syslog_record(135, "traced"))) << c.records[0];
}

TEST(ProcessLogging, LevelOffWritesNothing)
{
    const Captured c = capture(6, Output::pipe, [] {
        spdlog::critical("***** banner");
        spdlog::error("failure");
        return true;
    });
    ASSERT_EQ(c.status, 0);
    EXPECT_EQ(c.console, "");
    EXPECT_TRUE(c.records.empty());
}
