// The daemon's life: start, reload, stop, refusal of a second start.
#include <chrono>
#include <csignal>
#include <fstream>

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include "e2e_sim_fixture.h"

TEST_F(HalvornTest, StartsWithBannersReloadsAndStopsOnTerm)
{
    auto daemon = start_serving();
    const std::string banners = log_text();
    const auto started = banners.find("***** Orvane priority controller started");
    const auto app = banners.find("***** App version: 9eb920ba");
    const auto os = banners.find("***** OS  version: ");
    const auto config = banners.find("Configuration file: 'not found'");
    ASSERT_NE(started, std::string::npos) << banners;
    EXPECT_LT(started, app);
    EXPECT_LT(app, os);
    EXPECT_LT(os, config);
    EXPECT_EQ(banners.find("[E]"), std::string::npos) << banners;

    daemon->signal(SIGHUP);
    EXPECT_TRUE(wait_for_text(log, "Configuration file: '", 15, daemon.get(), 2)) << log_text();
    // Served after the reload: an answer needs the event loop running on.
    EXPECT_EQ(client({"loglevel", "info"}).status, 0) << log_text();
    EXPECT_TRUE(daemon->running());
    EXPECT_TRUE(is_fifo(daemon_pipe));

    stop(*daemon, SIGTERM);
}

TEST_F(HalvornTest, AReloadRebuildsTheVmListAtTheNextTick)
{
    // The VM-list timer runs every minute at the most often: a second
    // rebuild within seconds is the reload's.
    auto daemon = start_serving({"-l", "debug"});
    ASSERT_TRUE(wait_for_text(log, "Update VM list\n", 15, daemon.get())) << log_text();
    daemon->signal(SIGHUP);
    EXPECT_TRUE(wait_for_text(log, "Update VM list\n", 10, daemon.get(), 2)) << log_text();
    stop(*daemon, SIGTERM);
}

TEST_F(HalvornTest, StopsOnInterrupt)
{
    auto daemon = start_serving();
    stop(*daemon, SIGINT);
}

TEST_F(HalvornTest, ASecondStartIsRefusedAndLeavesThePipeAlone)
{
    auto first = start_serving();
    struct stat before {};
    ASSERT_EQ(stat(daemon_pipe.c_str(), &before), 0);

    const ProgramResult second = run_halvorn({});
    EXPECT_EQ(second.status, 0);
    EXPECT_NE(second.out.find("Orvane priority controller is already running, pid=" +
                              std::to_string(first->pid()) + "\n"),
              std::string::npos)
        << second.out;
    EXPECT_EQ(second.out.find("***** "), std::string::npos) << "no banners";

    struct stat after {};
    ASSERT_EQ(stat(daemon_pipe.c_str(), &after), 0);
    EXPECT_EQ(before.st_ino, after.st_ino);
    EXPECT_TRUE(first->running());
    EXPECT_EQ(client({"loglevel", "info"}).status, 0) << "the first daemon still serves";
    stop(*first);
}

namespace {

// True once `pid` runs under `title`: before its exec a scan would still see
// the test's own name and arguments.
bool wait_for_title(pid_t pid, const std::string& title)
{
    const std::string cmdline = "/proc/" + std::to_string(pid) + "/cmdline";
    return wait_until([&] { return read_text(cmdline).c_str() == title; }, 20);
}

}  // namespace

// Processes that only look like a daemon: the title comes from argv[0], the
// command name from the name of the file executed.
TEST_F(HalvornTest, AMonitorDoesNotBlockButADebugDaemonTitleDoes)
{
    const std::string monitor_exe = dir.file("halvorn");
    const std::string debug_exe = dir.file("halvorn.debug");
    ASSERT_EQ(symlink("/bin/sleep", monitor_exe.c_str()), 0);
    ASSERT_EQ(symlink("/bin/sleep", debug_exe.c_str()), 0);

    {
        ChildProcess monitor({"Orvane priority controller (monitor)", "30"}, {{}, "", "", monitor_exe});
        ASSERT_TRUE(wait_for_title(monitor.pid(), "Orvane priority controller (monitor)"));
        auto daemon = start_serving();
        EXPECT_TRUE(daemon->running());
        stop(*daemon);
    }

    ChildProcess look_alike({"halvorn.debug: Orvane priority controller (daemon)", "30"},
                            {{}, "", "", debug_exe});
    ASSERT_TRUE(wait_for_title(look_alike.pid(), "halvorn.debug: Orvane priority controller (daemon)"));
    const ProgramResult refused = run_halvorn({});
    EXPECT_EQ(refused.status, 0);
    EXPECT_NE(refused.out.find("is already running, pid=" + std::to_string(look_alike.pid())),
              std::string::npos)
        << refused.out;
    EXPECT_FALSE(exists(daemon_pipe));
}

TEST_F(HalvornTest, ADaemonPipePathThatIsNoPipeStopsTheStart)
{
    {
        std::ofstream(daemon_pipe) << "not a pipe";
    }
    auto daemon = start_daemon();
    EXPECT_EQ(daemon->wait(20), 1) << log_text();
    const std::string text = log_text();
    EXPECT_NE(text.find("Fifo error [/var/run/halvorn.cli.fifo]: Not a FIFO"), std::string::npos) << text;
    EXPECT_NE(text.find("## Orvane priority controller stopped"), std::string::npos);
    EXPECT_EQ(read_text(daemon_pipe), "not a pipe");
}

TEST_F(HalvornTest, LibvmmapiWithoutClassEntryPointsIsRefused)
{
    // halvorn itself stops at its start-up check of all entry points.
    const ProgramResult halvorn = run_halvorn({}, SIM_NO_CLASS_DIR);
    EXPECT_EQ(halvorn.status, 1);
    EXPECT_NE(halvorn.err.find("'libvmmapi': functions not found: vmmapi_vm_get_vcpu_class "
                               "vmmapi_vm_set_vcpu_class \n"),
              std::string::npos)
        << halvorn.err;
    EXPECT_FALSE(exists(daemon_pipe));

    // daemon_main's own capability test, reached without that check.
    ChildProcess probe({DAEMON_MAIN_PROBE}, {env(SIM_NO_CLASS_DIR), log, "", ""});
    EXPECT_EQ(probe.wait(20), 1);
    const std::string text = log_text();
    const auto config = text.find("Configuration file: 'not found'");
    const auto error = text.find("[E] [" + std::to_string(probe.pid()) +
                                 "] ### libvmmapi is not valid. Not supported 'vcpu_class'");
    const auto stopped =
        text.find("[I] [" + std::to_string(probe.pid()) + "] ## Orvane priority controller stopped");
    ASSERT_NE(config, std::string::npos) << text;
    EXPECT_LT(config, error) << text;
    EXPECT_LT(error, stopped) << text;
    EXPECT_NE(stopped, std::string::npos) << text;
    EXPECT_FALSE(exists(daemon_pipe));
}

TEST_F(SimulatedHostTest, ADaemonWhoseOutputReaderHasGoneRunsOn)
{
    // Simulated VMs give the regulator its knob, so every tick logs at trace.
    ASSERT_NO_FATAL_FAILURE(start_host({"--vm", "vm1:1:0:1"}));
    const std::string metrics = dir.file("halvorn.prom");
    const std::string config = dir.write(
        "halvorn.config", "[COMMON]\nLogLevel = trace\nUpdateTime = 100\nMetricsFile = " + metrics + "\n");

    int ends[2];
    // Neither end is inherited: the daemon must not hold a reader itself.
    ASSERT_EQ(pipe2(ends, O_CLOEXEC), 0);
    // The daemon's standard output is the pipe's write end, opened anew. It
    // starts with SIGPIPE's default action, whatever the test runner set.
    const auto runner_action = std::signal(SIGPIPE, SIG_DFL);
    ChildProcess daemon({HALVORN_EXE, "-c", config},
                        {env(), "/proc/self/fd/" + std::to_string(ends[1]), log, ""});
    std::signal(SIGPIPE, runner_action);
    close(ends[1]);
    // Read until a tick has logged, then the reader goes away.
    std::string seen;
    pollfd readable{ends[0], POLLIN, 0};
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (seen.find("CPU_Idle=") == std::string::npos && std::chrono::steady_clock::now() < deadline &&
           poll(&readable, 1, 1000) >= 0) {
        char buffer[4096];
        const ssize_t n = read(ends[0], buffer, sizeof buffer);
        if (n <= 0)
            break;
        seen.append(buffer, static_cast<std::size_t>(n));
    }
    close(ends[0]);
    ASSERT_NE(seen.find("CPU_Idle="), std::string::npos) << seen << log_text();
    ASSERT_TRUE(wait_for_reader(daemon_pipe, 20, &daemon));

    // Ten ticks at least, each writing into the broken pipe.
    const uint64_t ticks = ticks_in_metrics(metrics);
    EXPECT_TRUE(wait_until([&] { return ticks_in_metrics(metrics) >= ticks + 10; }, 20, &daemon))
        << read_text(metrics);
    EXPECT_TRUE(daemon.running());
    const ProgramResult answered = client({"track", "vm1"});
    EXPECT_EQ(answered.status, 0) << answered.out << answered.err;
    EXPECT_NE(answered.out.find("  REPLY: Success: track"), std::string::npos) << answered.out;

    daemon.signal(SIGTERM);
    EXPECT_EQ(daemon.wait(20), 0) << log_text();
    EXPECT_FALSE(exists(daemon_pipe));
}
