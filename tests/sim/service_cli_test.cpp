// The service figures as users read them: `vmmsim stats --service`, the
// runner's probe file and scripted demand changes, and what each refuses.
// Each case runs in its own pid and mount namespaces.
#include <gtest/gtest.h>

#include <signal.h>

#include <cstdlib>
#include <filesystem>
#include <map>
#include <regex>
#include <sstream>
#include <thread>

#include "read_text.h"
#include "sim_harness.h"
#include "temp_dir.h"

namespace simtest {
namespace {

using Fields = std::map<std::string, std::string>;

// The "service NAME key value ..." line of `name` in `text`; empty when absent.
Fields service_line(const std::string& text, const std::string& name)
{
    std::istringstream lines(text);
    for (std::string line; std::getline(lines, line);) {
        std::istringstream words(line);
        std::string first, vm;
        words >> first >> vm;
        if (first != "service" || vm != name)
            continue;
        Fields fields;
        for (std::string key, value; words >> key >> value;)
            fields[key] = value;
        return fields;
    }
    return {};
}

double number(const Fields& fields, const std::string& key)
{
    auto found = fields.find(key);
    return found == fields.end() ? -1 : std::atof(found->second.c_str());
}

TEST(ServiceFigures, FollowTheScriptedDemandIntoTheProbeAndLeaveTheCountersAlone)
{
    TempDir dir;
    std::string scenario = dir.write("host.scenario", "knob hw.vmm.vcpu_limit.class.1.rate_limit 20\n"
                                                      "vm busy 1 0\n"
                                                      "vm idle 2 0\n"
                                                      "at 1 demand busy 30\n");
    std::filesystem::create_directory(dir.file("probes"));
    std::string probe = dir.file("probes/probe");
    Runner runner({"-f", scenario, "--probe", probe, "--probe-window", "2"});
    ASSERT_TRUE(runner.ready()) << runner.output();
    // Wanting 30 % under a 20 % limit for the two whole seconds before a
    // write: 600 ms wanted by the guest, 400 ms allowed. The writes before
    // the change (or a second into it) show less.
    std::string text;
    Fields busy;
    for (auto until = std::chrono::steady_clock::now() + 10s;
         number(busy, "demand_ms") < 540 && std::chrono::steady_clock::now() < until;
         std::this_thread::sleep_for(100ms)) {
        text = read_text(probe);
        busy = service_line(text, "busy");
    }
    EXPECT_NE(runner.output().find("\nat 1 demand busy 30\n"), std::string::npos) << runner.output();
    ASSERT_FALSE(busy.empty()) << text;
    EXPECT_EQ(busy["window"], "2");
    EXPECT_NEAR(number(busy, "demand_ms"), 600, 60) << text;
    EXPECT_NEAR(number(busy, "wanted_ms"), 400, 40) << text;
    EXPECT_LE(number(busy, "received_ms"), number(busy, "wanted_ms")) << text;
    EXPECT_GE(number(busy, "wakeups"), 15) << text;
    EXPECT_LE(number(busy, "wakeups"), 21) << text;
    EXPECT_GE(number(busy, "share"), 0) << text;
    EXPECT_NE(busy["wake_p99_ms"], "-") << text;
    // A VM that wants nothing has no share and no wake-ups rather than a made-up figure.
    EXPECT_EQ(service_line(text, "idle"), (Fields{{"window", "2"},
                                                  {"share", "-"},
                                                  {"wake_p50_ms", "-"},
                                                  {"wake_p99_ms", "-"},
                                                  {"wakeups", "0"},
                                                  {"demand_ms", "0"},
                                                  {"wanted_ms", "0"},
                                                  {"received_ms", "0"}}))
        << text;

    // The counters' own lines stay as they were: five per vCPU, nothing else.
    ToolResult stats = run_tool({"stats", "busy"});
    EXPECT_EQ(stats.status, 0);
    std::istringstream lines(stats.output);
    int count = 0;
    for (std::string line; std::getline(lines, line); ++count)
        EXPECT_TRUE(std::regex_match(line, std::regex("vcpu 0 [0-9]+ [a-z ]+"))) << line;
    EXPECT_EQ(count, 5);

    // A probe that can no longer be written goes away instead of going stale,
    // and the runner says so and ends with a failure.
    std::filesystem::remove_all(dir.file("probes"));
    std::this_thread::sleep_for(1500ms);
    EXPECT_EQ(runner.stop(), 1) << runner.output();
    EXPECT_NE(runner.output().find("cannot write the probe file " + probe), std::string::npos)
        << runner.output();
}

TEST(ServiceFigures, AStoppedVmShowsLateWakeUpsAndCpuNotReceived)
{
    Runner runner({"--vm", "web01:1:10"});
    ASSERT_TRUE(runner.ready()) << runner.output();
    std::this_thread::sleep_for(1200ms);
    pid_t bhyve = runner.vm_pid("web01");
    ASSERT_EQ(kill(bhyve, SIGSTOP), 0);
    std::this_thread::sleep_for(400ms);
    ASSERT_EQ(kill(bhyve, SIGCONT), 0);
    std::this_thread::sleep_for(2100ms);

    // The slice after the stop began about 0.3 s late, and the guest wanted
    // its 10 % all through the stop without getting it. (The window may
    // reach back before the VM started, so its demand may fall short of
    // 300 ms, never the 40 ms lost.)
    ToolResult result = run_tool({"stats", "--service", "--window", "3", "web01"});
    EXPECT_EQ(result.status, 0);
    Fields web = service_line(result.output, "web01");
    ASSERT_FALSE(web.empty()) << result.output;
    EXPECT_GE(number(web, "wake_p99_ms"), 200) << result.output;
    EXPECT_LE(number(web, "demand_ms"), 310) << result.output;
    EXPECT_GE(number(web, "demand_ms") - number(web, "received_ms"), 30) << result.output;
    EXPECT_LT(number(web, "share"), 90) << result.output;
}

TEST(ServiceFigures, BadInputGetsAReasonAndNoFigure)
{
    Runner runner({"--vm", "web01:1:0"});
    ASSERT_TRUE(runner.ready()) << runner.output();
    ToolResult unknown = run_tool({"stats", "--service", "web01", "nosuch"});
    EXPECT_EQ(unknown.status, 1);
    EXPECT_NE(unknown.output.find("vmmsim: VM nosuch is not running"), std::string::npos) << unknown.output;
    EXPECT_TRUE(service_line(unknown.output, "nosuch").empty()) << unknown.output;
    EXPECT_FALSE(service_line(unknown.output, "web01").empty()) << unknown.output;
    EXPECT_EQ(run_tool({"stats", "nosuch"}).status, 1);
    EXPECT_EQ(run_tool({"stats", "--service", "../web01"}).status, 1);
    for (const char* window : {"0", "121", "x", "10s"})
        EXPECT_EQ(run_tool({"stats", "--service", "--window", window}).status, 2) << window;
    EXPECT_EQ(run_tool({"stats", "--service", "--window"}).status, 2);
    EXPECT_EQ(runner.stop(), 0);

    // A probe nobody can write, scripted changes for VMs that are not there
    // or demands beyond 0..100: refused before any VM starts.
    TempDir dir;
    struct Case {
        std::vector<std::string> args;
        std::string reason;
    };
    for (const Case& bad : {
             Case{{"--vm", "a:1:0", "--probe", dir.file("missing/probe")},
                  "cannot write the probe file " + dir.file("missing/probe")},
             Case{{"--vm", "a:1:0", "--probe-window", "121"}, "--probe-window must be 1..120"},
             Case{{"-f", dir.write("unknown", "vm a 1 0\nat 5 demand b 50\n")},
                  "unknown: line 2: unknown VM \"b\""},
             Case{{"-f", dir.write("range", "vm a 2 0\nat 5 demand a 40,101\n")},
                  "range: line 2: demand \"101\" is not a percentage 0..100"},
         }) {
        Runner refused(bad.args);
        EXPECT_FALSE(refused.ready(5s)) << refused.output();
        EXPECT_NE(refused.stop(), 0);
        EXPECT_NE(refused.output().find(bad.reason), std::string::npos) << refused.output();
        EXPECT_TRUE(processes_named("bhyve").empty()) << bad.reason;
    }
}

}  // namespace
}  // namespace simtest
