#pragma once

#include <chrono>
#include <csignal>
#include <memory>
#include <string>
#include <vector>

#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "e2e_process.h"
#include "run_program.h"
#include "temp_dir.h"

// Paths of the build, given by CMake.
#ifndef HALVORN_EXE
#error "HALVORN_EXE must name the halvorn executable"
#endif

inline const std::string daemon_pipe = "/var/run/halvorn.cli.fifo";

// Runs the real halvorn against the simulator's libvmmapi, inside the test's
// private namespaces. Output of the daemon goes to a file that the test polls.
class HalvornTest : public ::testing::Test {
protected:
    std::vector<std::string> env(const std::string& lib_dir = SIM_LIB_DIR) const
    {
        return {"LD_LIBRARY_PATH=" + lib_dir};
    }

    std::unique_ptr<ChildProcess> start_daemon(const std::vector<std::string>& args = {},
                                               const std::string& lib_dir = SIM_LIB_DIR)
    {
        std::vector<std::string> argv{HALVORN_EXE};
        argv.insert(argv.end(), args.begin(), args.end());
        return std::make_unique<ChildProcess>(argv, ChildProcess::Options{env(lib_dir), log, "", ""});
    }

    // Starts the daemon and waits until its command channel takes requests.
    std::unique_ptr<ChildProcess> start_serving(const std::vector<std::string>& args = {})
    {
        auto daemon = start_daemon(args);
        EXPECT_TRUE(wait_for_text(log, "Configuration file: '", 20, daemon.get())) << log_text();
        // The pipe file appears a moment before the daemon reads it; until
        // then a client would fail with ENXIO.
        EXPECT_TRUE(wait_for_reader(daemon_pipe, 20, daemon.get())) << log_text();
        return daemon;
    }

    // Runs halvorn with `words` to its end, as a client or a second start.
    ProgramResult run_halvorn(const std::vector<std::string>& words, const std::string& lib_dir = SIM_LIB_DIR)
    {
        std::vector<std::string> argv{HALVORN_EXE};
        argv.insert(argv.end(), words.begin(), words.end());
        return run_program(HALVORN_EXE, argv,
                           {.env = environment_with(env(lib_dir)), .deadline = std::chrono::seconds(20)});
    }
    ProgramResult client(const std::vector<std::string>& words) { return run_halvorn(words); }

    // Stops the daemon with `signum` and expects the normal stop.
    void stop(ChildProcess& daemon, int signum = SIGTERM)
    {
        daemon.signal(signum);
        EXPECT_EQ(daemon.wait(20), 0) << log_text();
        EXPECT_EQ(count_of(log_text(), "## Orvane priority controller stopped"), 1);
        EXPECT_FALSE(exists(daemon_pipe));
    }

    static bool is_fifo(const std::string& path)
    {
        struct stat st {};
        return stat(path.c_str(), &st) == 0 && S_ISFIFO(st.st_mode);
    }
    static bool exists(const std::string& path)
    {
        struct stat st {};
        return lstat(path.c_str(), &st) == 0;
    }

    std::string log_text() const { return read_text(log); }

    TempDir dir;
    std::string log = dir.file("daemon.log");
};
