#include "runtime/metrics_file.h"

#include <string>

#include <sys/stat.h>

#include <gtest/gtest.h>

#include "controller/controller_view.h"
#include "fake_host.h"
#include "read_text.h"
#include "run_program.h"
#include "scripted_controller.h"
#include "startup/identity.h"
#include "temp_dir.h"

using spdlog::level::level_enum;

namespace {

bool has_line(const std::string& text, const std::string& line)
{
    return text.starts_with(line + "\n") || text.find("\n" + line + "\n") != std::string::npos;
}

struct MetricsFileTest : ::testing::Test {
    ScriptedController scripted;
    ControllerView view{scripted.controller};
    TempDir dir;
    MetricsFile metrics;
};

}  // namespace

TEST_F(MetricsFileTest, EveryMetricWithItsLabelsHelpAndType)
{
    const std::string text = metrics_text(view);
    for (const char* line : {
             "halvorn_host_idle_average_percent 23.44",
             "halvorn_rate_limit_percent{class=\"1\"} 70",
             "halvorn_rate_limit_percent{class=\"2\"} 25",
             "halvorn_vms 3",
             "halvorn_vm_load_percent{vm=\"miner\"} 100.1",
             "halvorn_vm_load_percent{vm=\"we\\\"b\\\\01\\n\"} 6.2",
             "halvorn_vm_class{vm=\"miner\"} 2",
             "halvorn_vm_class{vm=\"fresh\"} -1",
             "halvorn_vm_miner{vm=\"miner\"} 1",
             "halvorn_vm_miner{vm=\"we\\\"b\\\\01\\n\"} 0",
             "halvorn_vm_miner{vm=\"fresh\"} 0",
             "halvorn_ticks_total 120",
             "halvorn_kvm_errors_total 2",
             "halvorn_class_moves_total{to=\"1\"} 3",
             "halvorn_class_moves_total{to=\"2\"} 4",
             "halvorn_rate_limit_steps_total{direction=\"down\"} 5",
             "halvorn_rate_limit_steps_total{direction=\"up\"} 6",
             "halvorn_tick_cpu_seconds 0.00031",
             "# TYPE halvorn_ticks_total counter",
             "# TYPE halvorn_vm_class gauge",
         })
        EXPECT_TRUE(has_line(text, line)) << line << "\n" << text;
    EXPECT_TRUE(has_line(text, "halvorn_info{version=\"" + program_version() + "\"} 1")) << text;
    // A VM without a measured interval has no load sample.
    EXPECT_EQ(text.find("halvorn_vm_load_percent{vm=\"fresh\"}"), std::string::npos);
}

TEST(MetricTable, IsWhatTheManPageLists)
{
    // The names the METRICS section of halvorn(8) describes, in its order.
    const std::string page = read_text(HALVORN_MAN_PAGE);
    const size_t start = page.find("\n.Ss METRICS\n");
    ASSERT_NE(start, std::string::npos);
    const std::string section = page.substr(start, page.find("\n.S", start + 1) - start);
    std::vector<std::string> listed;
    for (size_t at = section.find("Va halvorn_"); at != std::string::npos;
         at = section.find("Va halvorn_", at + 1))
        listed.push_back(section.substr(
            at + 3, section.find_first_not_of("abcdefghijklmnopqrstuvwxyz_", at + 3) - at - 3));
    std::vector<std::string> table;
    for (const MetricInfo& metric : metric_table())
        table.emplace_back(metric.name);
    EXPECT_EQ(listed, table);
}

TEST_F(MetricsFileTest, UnreadableKnobsLeaveTheirSamplesOut)
{
    scripted.controller.knobs = {};
    const std::string text = metrics_text(view);
    EXPECT_EQ(text.find("halvorn_rate_limit_percent{"), std::string::npos);
    EXPECT_TRUE(has_line(text, "# TYPE halvorn_rate_limit_percent gauge"));
}

TEST_F(MetricsFileTest, WrittenFileIsWorldReadableAndPassesPromtool)
{
    const std::string path = dir.file("halvorn.prom");
    ASSERT_TRUE(metrics.write(view, path));
    struct stat st {};
    ASSERT_EQ(stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0644u);
    EXPECT_EQ(read_text(path), metrics_text(view));

    const ProgramResult checked =
        run_program("/bin/sh", {"sh", "-c", "promtool check metrics < \"$1\"", "sh", path});
    EXPECT_EQ(checked.status, 0) << checked.out << checked.err;
}

TEST_F(MetricsFileTest, FailureWarnsOnceUntilAWriteSucceeds)
{
    EXPECT_FALSE(metrics.write(view, ""));  // no path, no file, no warning
    const std::string missing = dir.file("gone/halvorn.prom");
    EXPECT_FALSE(metrics.write(view, missing));
    EXPECT_FALSE(metrics.write(view, missing));
    auto lines = scripted.log.take();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].first, level_enum::warn);
    EXPECT_TRUE(lines[0].second.starts_with("Metrics file '" + missing + "' not written: "))
        << lines[0].second;

    EXPECT_TRUE(metrics.write(view, dir.file("halvorn.prom")));
    EXPECT_FALSE(metrics.write(view, missing));
    EXPECT_EQ(scripted.log.take().size(), 1u);
}

TEST(ControllerAfterTick, SeesEveryTickAndCountsKernelErrors)
{
    Settings::instance() = Settings{};
    Controller controller;
    FakeHost host;
    host.knobs[class1_rate_limit_knob] = 80;
    std::vector<uint64_t> ticks;
    std::vector<uint64_t> errors;
    std::vector<std::optional<int>> limits;
    controller.after_tick = [&](const ControllerView& view) {
        ticks.push_back(view.tally().ticks);
        errors.push_back(view.tally().kvm_errors);
        limits.push_back(view.knobs().class1_rate_limit);
    };
    controller.run_tick(host);
    host.open = false;
    controller.run_tick(host);
    EXPECT_EQ(ticks, (std::vector<uint64_t>{1, 1}));
    EXPECT_EQ(errors, (std::vector<uint64_t>{0, 1}));
    EXPECT_EQ(limits, (std::vector<std::optional<int>>{80, 80}));
    EXPECT_GE(controller.tally.last_tick_cpu_seconds, 0.0);
}
