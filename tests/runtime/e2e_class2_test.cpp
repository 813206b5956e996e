// The class-2 regulator with the real daemon on a simulated host: idle CPU
// lent to a held miner, and taken back from it first when the host gets busy.
#include <sstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "e2e_sim_fixture.h"

namespace {

constexpr const char* class2_up = "VCPU_rate_limit(class.2)=";
constexpr const char* increased = "; has been increased by ";
constexpr const char* decreased = "; has been decreased by ";

struct Step {
    bool class2 = false;
    bool down = false;
    int limit = 0;
};

// The rate-limit steps of a log, in order.
std::vector<Step> steps(const std::string& log)
{
    std::vector<Step> found;
    for_each_line(log, [&found](const std::string& line, size_t) {
        const bool down = line.find(decreased) != std::string::npos;
        if (!down && line.find(increased) == std::string::npos)
            return true;
        const bool class2 = line.find(class2_up) != std::string::npos;
        const size_t at = line.find(class2 ? class2_up : "VCPU_rate_limit=");
        const size_t value = line.find('=', at) + 1;
        found.push_back({class2, down, std::stoi(line.substr(value))});
        return true;
    });
    return found;
}

// The machine's idle share over `seconds`, percent, as the daemon reads it.
double machine_idle(std::chrono::seconds seconds)
{
    const auto sample = [] {
        std::istringstream line(read_text("/proc/stat"));
        std::string cpu;
        line >> cpu;
        uint64_t all = 0;
        uint64_t idle = 0;
        uint64_t value = 0;
        for (int i = 0; i < 8 && line >> value; ++i) {
            all += value;
            idle += i == 3 || i == 4 ? value : 0;  // idle and iowait
        }
        return std::pair{all, idle};
    };
    const auto [all_before, idle_before] = sample();
    std::this_thread::sleep_for(seconds);
    const auto [all_after, idle_after] = sample();
    return all_after > all_before ? 100.0 * static_cast<double>(idle_after - idle_before) /
                                        static_cast<double>(all_after - all_before)
                                  : 0.0;
}

class Class2RegulatorTest : public SimulatedHostTest {
protected:
    int knob(const std::string& name)
    {
        const simtest::ToolResult result = simtest::run_tool({"knob", "hw.vmm.vcpu_limit.class." + name});
        EXPECT_EQ(result.status, 0) << result.output;
        return std::stoi(result.output);
    }
};

}  // namespace

TEST_F(Class2RegulatorTest, LendsIdleCpuToAHeldMinerAndTakesItBackFirst)
{
    // The miner's two vCPUs held in class 2 at 10 % leave room to spare.
    // The calm VMs have one vCPU each, too few to be judged, so nothing but
    // the limits can change. The miner's throttle alone keeps it above
    // OverloadBound at any class-2 limit up to the ceiling: it stays a MINER.
    ASSERT_NO_FATAL_FAILURE(
        start_host({"--vm", "miner:2:100:2", "--vm", "calm1:1:0", "--vm", "calm2:1:0", "--vm", "calm3:1:0",
                    "--burst-secs", "1", "--class1-limit", "100", "--class2-limit", "10"}));
    // The machine is shared: the band's top goes well below what it leaves
    // idle now, with room for what else runs on it; at most three steps of
    // the miner's limit bring the idle average inside the band.
    const double idle = machine_idle(3s);
    if (idle < 45.0)
        GTEST_SKIP() << "the machine is too busy to leave room to spare: " << idle << " % idle";
    const std::string path = dir.write(
        "halvorn.config", "[COMMON]\nLogLevel = trace\nUpdateTime = 500\nAveragingTime = 10\n"
                          "[RATE_LIMIT]\nMinCpuIdleLevel = 5\nMaxCpuIdleLevel = " +
                              std::to_string(static_cast<int>(idle) - 25) +
                              "\nRateLimitDelta = 10\nClass2RateLimitFloor = 5\nClass2RateLimitCeiling = 60\n"
                              "[VCPU_CLASS]\nCpuIdleLevel = 99\nVCPU = 2\nOverloadBound = 40\n");
    daemon = start_serving({"-c", path});
    ASSERT_TRUE(
        wait_for_text(log, "VCPU_rate_limit(class.2)=10 found; regulated between 5 and 60", 20, daemon.get()))
        << log_text();

    // Room to spare and class 1 at its ceiling: class 2 gets more, until the
    // miner's own use brings the idle average inside the band or the ceiling
    // is reached (the shared machine may leave more room than it did above).
    ASSERT_TRUE(wait_for_text(log, std::string(class2_up) + "20" + increased, 90, daemon.get()))
        << log_text();
    ASSERT_TRUE(wait_until(
        [&] {
            const size_t before = steps(log_text()).size();
            return wait_ticks(16, 30) && steps(log_text()).size() == before;
        },
        120, daemon.get()))
        << log_text();
    const std::vector<Step> rising = steps(log_text());
    for (const Step& step : rising) {
        EXPECT_TRUE(step.class2 && !step.down) << step.limit;
        EXPECT_LE(step.limit, 60);
    }
    const int lent = rising.back().limit;
    EXPECT_EQ(knob("2.rate_limit"), lent);

    // The calm VMs get busy: the host falls below the band, and class 2 gives
    // back what it was lent, at once to its floor, before class 1 is stepped
    // down.
    for (const char* vm : {"calm1", "calm2", "calm3"})
        ASSERT_EQ(simtest::run_tool({"demand", vm, "100"}).status, 0);
    ASSERT_TRUE(wait_for_text(log, std::string("VCPU_rate_limit=90") + decreased, 120, daemon.get()))
        << log_text();
    const std::vector<Step> all = steps(log_text());
    ASSERT_EQ(all.size(), rising.size() + 2) << log_text();
    EXPECT_TRUE(all[rising.size()].class2 && all[rising.size()].down);
    EXPECT_EQ(all[rising.size()].limit, 5);
    EXPECT_NE(
        log_text().find("VCPU_rate_limit(class.2)=5; has been decreased by " + std::to_string(lent - 5)),
        std::string::npos);
    EXPECT_FALSE(all.back().class2);

    // Nobody moved class; the miner is where it was held.
    EXPECT_EQ(log_text().find(" => VCPU_class_"), std::string::npos) << log_text();
    EXPECT_EQ(simtest::run_tool({"class", "miner"}).output, "2\n");
    expect_unharmed();

    // At its stop the daemon puts back the class-2 limit it found.
    stop(*daemon);
    EXPECT_EQ(knob("2.rate_limit"), 10);
    EXPECT_NE(log_text().find("VCPU_rate_limit(class.2)=10; put back from 5"), std::string::npos)
        << log_text();
}
