// The real halvorn against a simulated host run by `vmmsim run`, with a
// configuration of the test's choosing and trace logging, so that every tick
// leaves a line in the daemon's log.
#pragma once

#include <string>
#include <vector>

#include "e2e_fixture.h"
#include "sim_harness.h"

using namespace std::chrono_literals;

class SimulatedHostTest : public HalvornTest {
protected:
    // The regulator's state line, written once per tick while the class-1
    // rate-limit knob reads.
    static constexpr const char* tick_line = "CPU_Idle=";

    // Starts the host alone. Fails the test when it does not come up.
    void start_host(const std::vector<std::string>& host_args)
    {
        host = std::make_unique<simtest::Runner>(host_args);
        ASSERT_TRUE(host->ready(60s)) << host->output();
    }

    // Starts the host, then the daemon with `config` (an INI text) and trace
    // logging. Fails the test when either does not come up.
    void start(const std::vector<std::string>& host_args, const std::string& config)
    {
        ASSERT_NO_FATAL_FAILURE(start_host(host_args));
        const std::string path = dir.write("halvorn.config", "[COMMON]\nLogLevel = trace\n" + config);
        daemon = start_serving({"-c", path});
        ASSERT_TRUE(daemon->running()) << log_text();
    }

    // Waits for `count` more ticks than have been logged so far.
    bool wait_ticks(int count, double seconds)
    {
        return wait_for_text(log, tick_line, seconds, daemon.get(), count_of(log_text(), tick_line) + count);
    }

    // Ticks logged before the first line holding both `vm` and `text`; -1
    // when there is no such line.
    int tick_of(const std::string& vm, const std::string& text) const
    {
        const std::string all = log_text();
        const std::string name = "VM_id=" + vm + " ";
        int ticks = -1;
        for_each_line(all, [&](const std::string& line, size_t at) {
            if (line.find(name) == std::string::npos || line.find(text) == std::string::npos)
                return true;
            ticks = count_of(all.substr(0, at), tick_line);
            return false;
        });
        return ticks;
    }

    // Alive, and no error or critical line: nothing escaped a callback.
    void expect_unharmed()
    {
        EXPECT_TRUE(daemon->running()) << log_text();
        const std::string text = log_text();
        EXPECT_EQ(text.find("[E]"), std::string::npos) << text;
        EXPECT_EQ(text.find("[C]"), std::string::npos) << text;
    }

    simtest::ToolResult fault(const std::string& vm, const std::string& operation, const std::string& setting)
    {
        simtest::ToolResult result = simtest::run_tool({"fault", vm, operation, setting});
        EXPECT_EQ(result.status, 0) << result.output;
        return result;
    }

    // Failures injected so far into `operation` of `vm`.
    static int injected(const std::string& vm, const std::string& operation)
    {
        const std::string out = simtest::run_tool({"fault", vm}).output;
        const size_t line = out.find(operation + " ");
        const size_t at = out.find(" injected ", line);
        return line == std::string::npos || at == std::string::npos ? -1 : std::stoi(out.substr(at + 10));
    }

    std::unique_ptr<simtest::Runner> host;
    std::unique_ptr<ChildProcess> daemon;
};
