// The class-2 rate limit's regulation: idle CPU lent to class 2 once class 1
// has all of it, taken back from class 2 first, and the operator's limit put
// back when the regulation ends.
#include <gtest/gtest.h>

#include <limits>
#include <string>
#include <utility>
#include <vector>

#include "controller/controller.h"
#include "fake_host.h"
#include "log_capture.h"
#include "startup/settings.h"

namespace {

using Writes = std::vector<std::pair<Knob, int>>;

constexpr Knob class1 = Knob::class1_rate_limit;
constexpr Knob class2 = Knob::class2_rate_limit;

struct Class2RegulationTest : ::testing::Test {
    Settings& settings = Settings::instance() = Settings{};
    Controller controller;
    LogCapture log;
    FakeHost host;

    Class2RegulationTest()
    {
        host.knobs[class1] = 100;
        host.knobs[class2] = 25;
    }

    // One regulation at `average` (idle 40, busy 10 with the default band);
    // what it wrote.
    Writes regulate_at(double average)
    {
        host.writes.clear();
        controller.idle_average = average;
        controller.regulate(host);
        return host.writes;
    }

    std::vector<std::string> info_lines()
    {
        std::vector<std::string> lines;
        for (const auto& [level, line] : log.take())
            if (level == spdlog::level::info)
                lines.push_back(line);
        return lines;
    }
};

TEST_F(Class2RegulationTest, WithoutACeilingTheClass2KnobIsNeverWritten)
{
    settings.class2_rate_limit_floor = 10;  // a floor alone regulates nothing
    host.knobs[class1] = 90;
    for (const double average : {40.0, 40.0, 40.0, 10.0, 10.0, 10.0, 10.0, 40.0})
        regulate_at(average);
    controller.put_back_class2_limit(host);
    EXPECT_EQ(host.knobs[class2], 25);
    EXPECT_EQ(host.knobs[class1], 85);  // up to 100, down four steps, up one
    EXPECT_EQ(controller.tally.class2_steps_up + controller.tally.class2_steps_down, 0u);
    EXPECT_EQ(controller.class2.bounds, std::nullopt);
    EXPECT_EQ(log.text().find("class.2"), std::string::npos) << log.text();
}

TEST_F(Class2RegulationTest, Class1GetsIdleCpuFirstAndGivesItBackLast)
{
    settings.class2_rate_limit_ceiling = 40;
    host.knobs[class1] = 95;
    EXPECT_EQ(regulate_at(40.0), (Writes{{class1, 100}}));
    EXPECT_DOUBLE_EQ(controller.idle_average, 25.0);  // reset after every step
    EXPECT_EQ(regulate_at(40.0), (Writes{{class2, 30}}));
    EXPECT_DOUBLE_EQ(controller.idle_average, 25.0);
    EXPECT_EQ(regulate_at(40.0), (Writes{{class2, 35}}));
    EXPECT_EQ(regulate_at(40.0), (Writes{{class2, 40}}));
    EXPECT_EQ(regulate_at(40.0), Writes{});  // both at their ceilings
    EXPECT_DOUBLE_EQ(controller.idle_average, 40.0);
    EXPECT_EQ(regulate_at(30.0), Writes{});  // inside the band

    // Busy: class 2 goes back to its floor, the limit found at the start, in
    // one step, before class 1 moves.
    EXPECT_EQ(regulate_at(10.0), (Writes{{class2, 25}}));
    EXPECT_DOUBLE_EQ(controller.idle_average, 25.0);
    EXPECT_EQ(regulate_at(10.0), (Writes{{class1, 95}}));
    EXPECT_EQ(controller.tally.class2_steps_up, 3u);
    EXPECT_EQ(controller.tally.class2_steps_down, 1u);
    EXPECT_EQ(controller.tally.rate_limit_steps_up, 1u);
    EXPECT_EQ(controller.tally.rate_limit_steps_down, 1u);

    const std::vector<std::string> lines = info_lines();
    ASSERT_EQ(lines.size(), 7u);
    EXPECT_EQ(lines[0],
              "VCPU_rate_limit(class.2)=25 found; regulated between 25 and 40, put back to 25 at stop");
    EXPECT_EQ(lines[1], "CPU Idle=40.0 VCPU_rate_limit=100; has been increased by 5");
    EXPECT_EQ(lines[2], "CPU Idle=40.0 VCPU_rate_limit(class.2)=30; has been increased by 5");
    EXPECT_EQ(lines[5], "CPU Idle=10.0 VCPU_rate_limit(class.2)=25; has been decreased by 15");
    EXPECT_EQ(lines[6], "CPU Idle=10.0 VCPU_rate_limit=95; has been decreased by 5");
}

TEST_F(Class2RegulationTest, TheRangeHoldsWhateverTheKnobAndTheStep)
{
    // An own floor below the limit found.
    settings.class2_rate_limit_ceiling = 30;
    settings.class2_rate_limit_floor = 15;
    EXPECT_EQ(regulate_at(10.0), (Writes{{class2, 15}}));
    EXPECT_EQ(regulate_at(10.0), (Writes{{class1, 95}}));

    // A step past the ceiling stops at it, without overflow.
    settings.rate_limit_delta = std::numeric_limits<int32_t>::max();
    host.knobs[class1] = 100;
    EXPECT_EQ(regulate_at(40.0), (Writes{{class2, 30}}));

    // A floor above the ceiling is the ceiling; a knob found above it comes
    // down on a busy host and never goes further up.
    settings.rate_limit_delta = 5;
    settings.class2_rate_limit_floor = 50;
    host.knobs[class2] = 45;
    EXPECT_EQ(regulate_at(40.0), Writes{});
    EXPECT_EQ(regulate_at(10.0), (Writes{{class2, 30}}));
    EXPECT_EQ(regulate_at(10.0), (Writes{{class1, 95}}));

    // An unreadable class-2 knob leaves class 1 to regulate alone.
    host.knobs.erase(class2);
    host.knobs[class1] = 100;
    EXPECT_EQ(regulate_at(10.0), (Writes{{class1, 95}}));
    EXPECT_EQ(regulate_at(40.0), (Writes{{class1, 100}}));
    EXPECT_EQ(regulate_at(40.0), Writes{});
}

TEST_F(Class2RegulationTest, TheLimitFoundGoesBackWhenTheKeysGoOrTheDaemonStops)
{
    controller.put_back_class2_limit(host);  // nothing changed, nothing to put back
    settings.class2_rate_limit_ceiling = 50;
    regulate_at(40.0);
    regulate_at(40.0);
    EXPECT_EQ(host.knobs[class2], 35);
    log.take();

    settings.class2_rate_limit_ceiling = 0;  // a reload removed the keys
    EXPECT_EQ(regulate_at(40.0), (Writes{{class2, 25}}));
    EXPECT_EQ(info_lines(), (std::vector<std::string>{"VCPU_rate_limit(class.2) no longer regulated",
                                                      "VCPU_rate_limit(class.2)=25; put back from 35"}));
    EXPECT_EQ(regulate_at(40.0), Writes{});

    // Back again: the floor is still the limit found at the very start,
    // whatever was found since.
    settings.class2_rate_limit_ceiling = 50;
    host.knobs[class2] = 45;
    EXPECT_EQ(regulate_at(10.0), (Writes{{class2, 25}}));
    EXPECT_EQ(info_lines().front(),
              "VCPU_rate_limit(class.2)=45 found; regulated between 25 and 50, put back to 25 at stop");

    // An unreadable knob is put back once it reads again.
    host.writes.clear();
    host.knobs.erase(class2);
    controller.put_back_class2_limit(host);
    EXPECT_TRUE(host.writes.empty());
    host.knobs[class2] = 40;
    controller.put_back_class2_limit(host);
    EXPECT_EQ(host.writes, (Writes{{class2, 25}}));
    host.writes.clear();
    controller.put_back_class2_limit(host);
    EXPECT_TRUE(host.writes.empty());
}

TEST_F(Class2RegulationTest, ADryRunStepsTheClass2LimitItWouldHaveSet)
{
    settings.class2_rate_limit_ceiling = 40;
    settings.dry_run = true;
    host.knobs[class1] = 95;
    regulate_at(40.0);  // the would-be class-1 limit reaches 100 first
    regulate_at(40.0);
    regulate_at(40.0);
    EXPECT_EQ(controller.dry_run_rate_limit, 100);
    EXPECT_EQ(controller.class2.dry_run_limit, 35);
    regulate_at(10.0);
    EXPECT_EQ(controller.class2.dry_run_limit, 25);
    EXPECT_TRUE(host.writes.empty());
    EXPECT_EQ(host.knobs[class2], 25);
    EXPECT_EQ(controller.tally.class2_steps_up, 0u);
    EXPECT_EQ(info_lines().back(),
              "CPU Idle=10.0 VCPU_rate_limit(class.2)=25; has been decreased by 10 (dry run)");
    controller.put_back_class2_limit(host);  // it wrote nothing to put back
    EXPECT_TRUE(host.writes.empty());

    // Enforcing again: from the real knobs.
    settings.dry_run = false;
    EXPECT_EQ(regulate_at(40.0), (Writes{{class1, 100}}));
    EXPECT_EQ(controller.class2.dry_run_limit, std::nullopt);
    EXPECT_EQ(regulate_at(40.0), (Writes{{class2, 30}}));
}

}  // namespace
