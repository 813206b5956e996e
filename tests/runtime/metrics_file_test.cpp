#include "runtime/metrics_file.h"

#include <filesystem>
#include <regex>
#include <set>
#include <sstream>
#include <string>

#include <sys/stat.h>

#include <gtest/gtest.h>

#include "controller/controller_view.h"
#include "read_text.h"
#include "run_program.h"
#include "scripted_controller.h"
#include "startup/identity.h"
#include "temp_dir.h"

namespace fs = std::filesystem;
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
    scripted.controller.last_idle_share = 4.2;
    scripted.controller.last_tick_unix_seconds = 1765432100.5;
    const std::string text = metrics_text(view);
    const std::string odd = "vm=\"we\\\"b\\\\01\\n\"";
    for (const std::string& line : {
             std::string("halvorn_last_tick_timestamp_seconds 1765432100.5"),
             std::string("halvorn_dry_run 0"),
             std::string("halvorn_host_idle_ratio 0.042"),
             std::string("halvorn_host_idle_average_ratio 0.2344"),
             std::string("halvorn_idle_band_ratio{bound=\"min\"} 0.15"),
             std::string("halvorn_idle_band_ratio{bound=\"max\"} 0.35"),
             std::string("halvorn_idle_band_ratio{bound=\"class_move\"} 0.3"),
             std::string("halvorn_overload_bound_ratio 0.9"),
             std::string("halvorn_rate_limit_ratio{class=\"1\"} 0.7"),
             std::string("halvorn_rate_limit_ratio{class=\"2\"} 0.25"),
             std::string("halvorn_rate_limit_floor_ratio 0.3"),
             std::string("halvorn_rate_limit_ceiling_ratio 1"),
             std::string("halvorn_knob_readable{knob=\"hw.vmm.vcpu_limit.class.1.burst_secs\"} 1"),
             std::string("halvorn_vms 3"),
             std::string("halvorn_vm_load_ratio{vm=\"miner\"} 1.001"),
             "halvorn_vm_load_ratio{" + odd + "} 0.062",
             std::string("halvorn_vm_class{vm=\"miner\"} 2"),
             std::string("halvorn_vm_miner{vm=\"miner\"} 1"),
             "halvorn_vm_miner{" + odd + "} 0",
             "halvorn_vm_exempt{" + odd + "} 1",
             std::string("halvorn_vm_exempt{vm=\"fresh\"} 0"),
             "halvorn_vm_countdown_seconds{" + odd + ",to=\"MINER\"} 41",
             std::string("halvorn_ticks_total 120"),
             std::string("halvorn_kvm_errors_total 2"),
             std::string("halvorn_class_moves_total{to=\"1\"} 3"),
             std::string("halvorn_class_moves_total{to=\"2\"} 4"),
             std::string("halvorn_vm_class_moves_total{vm=\"miner\",to=\"1\"} 0"),
             std::string("halvorn_vm_class_moves_total{vm=\"miner\",to=\"2\"} 1"),
             "halvorn_vm_refused_class_moves_total{" + odd + ",to=\"2\"} 7",
             std::string("halvorn_vm_refused_class_moves_total{vm=\"fresh\",to=\"1\"} 0"),
             std::string("halvorn_vm_class_seconds_total{vm=\"miner\",class=\"2\"} 90.5"),
             std::string("halvorn_vm_class_seconds_total{vm=\"miner\",class=\"1\"} 0"),
             std::string("halvorn_record_write_errors_total 0"),
             std::string("halvorn_rate_limit_steps_total{direction=\"down\"} 5"),
             std::string("halvorn_rate_limit_steps_total{direction=\"up\"} 6"),
             std::string("halvorn_class2_rate_limit_steps_total{direction=\"down\"} 0"),
             std::string("halvorn_class2_regulated 0"),
             std::string("halvorn_tick_cpu_seconds 0.00031"),
             std::string("# TYPE halvorn_ticks_total counter"),
             std::string("# TYPE halvorn_vm_class gauge"),
         })
        EXPECT_TRUE(has_line(text, line)) << line << "\n" << text;
    EXPECT_TRUE(has_line(text, "halvorn_info{version=\"" + program_version() + "\"} 1")) << text;
    EXPECT_TRUE(has_line(metrics_text(view, {3}), "halvorn_record_write_errors_total 3"));
    // What is unknown, or does not apply, has no sample: the fresh VM's load,
    // class and judgement, the miner's countdown, a dry run's limit.
    for (const char* absent :
         {"halvorn_vm_load_ratio{vm=\"fresh\"}", "halvorn_vm_class{vm=\"fresh\"}",
          "halvorn_vm_miner{vm=\"fresh\"}", "halvorn_vm_countdown_seconds{vm=\"miner\"",
          "\nhalvorn_dry_run_rate_limit_ratio ", "\nhalvorn_class2_rate_limit_bound_ratio",
          "\nhalvorn_dry_run_class2_rate_limit_ratio "})
        EXPECT_EQ(text.find(absent), std::string::npos) << absent;

    // The class-2 regulator, on and in a dry run.
    scripted.controller.class2 = {25, Class2Bounds{20, 60}, true, 45};
    scripted.controller.tally.class2_steps_up = 3;
    const std::string regulated = metrics_text(view);
    for (const char* line :
         {"halvorn_class2_regulated 1", "halvorn_class2_rate_limit_bound_ratio{bound=\"floor\"} 0.2",
          "halvorn_class2_rate_limit_bound_ratio{bound=\"ceiling\"} 0.6",
          "halvorn_class2_rate_limit_start_ratio 0.25", "halvorn_dry_run_class2_rate_limit_ratio 0.45",
          "halvorn_class2_rate_limit_steps_total{direction=\"up\"} 3"})
        EXPECT_TRUE(has_line(regulated, line)) << line << "\n" << regulated;
}

TEST_F(MetricsFileTest, NamesThatAreNotUtf8OrRepeatKeepTheFileReadable)
{
    // A stray byte and a cut sequence are written as text; a VM whose label
    // repeats an earlier one is left out rather than make a duplicate series.
    scripted.add("bad\xff\xe2\x82", 40, 1, 1);
    scripted.add("miner", 50, 1, 1);
    const std::string path = dir.file("halvorn.prom");
    ASSERT_TRUE(metrics.write(view, path));
    const std::string text = read_text(path);
    EXPECT_TRUE(has_line(text, "halvorn_vm_class{vm=\"bad\\\\xff\\\\xe2\\\\x82\"} 1")) << text;
    const std::string miner_class = "halvorn_vm_class{vm=\"miner\"}";
    EXPECT_EQ(text.find(miner_class), text.rfind(miner_class)) << text;
    const ProgramResult checked =
        run_program("/bin/sh", {"sh", "-c", "promtool check metrics < \"$1\"", "sh", path});
    EXPECT_EQ(checked.status, 0) << checked.out << checked.err;
}

TEST_F(MetricsFileTest, TheFileGoesWithTheDaemonAndWithAChangedPath)
{
    const std::string first = dir.file("first.prom");
    const std::string second = dir.file("second.prom");
    ASSERT_TRUE(metrics.write(view, first));
    ASSERT_TRUE(metrics.write(view, second));
    EXPECT_FALSE(fs::exists(first));  // a reload moved it
    metrics.remove();                 // a normal stop
    EXPECT_FALSE(fs::exists(second));
    ASSERT_TRUE(metrics.write(view, first));
    EXPECT_FALSE(metrics.write(view, ""));  // MetricsFile emptied by a reload
    EXPECT_FALSE(fs::exists(first));
}

TEST(MetricTable, IsWhatTheManPageLists)
{
    // The names the items of halvorn(8)'s METRICS section describe, in order.
    const std::string page = read_text(HALVORN_MAN_PAGE);
    const size_t start = page.find("\n.Ss METRICS\n");
    ASSERT_NE(start, std::string::npos);
    std::istringstream section(page.substr(start, page.find("\n.S", start + 1) - start));
    std::vector<std::string> listed;
    for (std::string line; std::getline(section, line);) {
        if (!line.starts_with(".It "))
            continue;
        for (size_t at = line.find("Va halvorn_"); at != std::string::npos;
             at = line.find("Va halvorn_", at + 1))
            listed.push_back(line.substr(
                at + 3, line.find_first_not_of("abcdefghijklmnopqrstuvwxyz0123456789_", at + 3) - at - 3));
    }
    std::vector<std::string> table;
    for (const MetricInfo& metric : metric_table())
        table.emplace_back(metric.name);
    EXPECT_EQ(listed, table);
}

TEST(MetricTable, EveryRuleReadsPublishedMetricsAndEveryAlertHasARunbookEntry)
{
    std::set<std::string> published;
    for (const MetricInfo& metric : metric_table())
        published.emplace(metric.name);

    // The names in each expr (a line of its own, or the block indented
    // under it), outside quoted label values.
    std::set<std::string> alerts, recorded, read;
    std::istringstream rules(read_text(HALVORN_RULES));
    size_t expr_indent = std::string::npos;
    const std::regex name(R"([A-Za-z_:][A-Za-z0-9_:]*)");
    for (std::string line; std::getline(rules, line);) {
        const size_t indent = line.find_first_not_of(' ');
        if (indent == std::string::npos)
            continue;
        std::string text = line.substr(indent);
        if (text.starts_with("- alert: "))
            alerts.insert(text.substr(9));
        if (text.starts_with("- record: "))
            recorded.insert(text.substr(10));
        if (text.starts_with("expr:")) {
            expr_indent = indent;
            text = text.substr(5);
        } else if (expr_indent == std::string::npos || indent <= expr_indent) {
            expr_indent = std::string::npos;
            continue;
        }
        text = std::regex_replace(text, std::regex(R"("([^"\\]|\\.)*")"), "\"\"");
        for (std::sregex_iterator it(text.begin(), text.end(), name), end; it != end; ++it)
            if (it->str().starts_with("halvorn_") || std::regex_match(it->str(), std::regex("[a-z_]+:.+")))
                read.insert(it->str());
    }
    ASSERT_GE(alerts.size(), 10u);
    ASSERT_GE(read.size(), 10u);  // the parsing found the expressions
    for (const std::string& metric : read)
        EXPECT_TRUE(published.contains(metric) || recorded.contains(metric))
            << metric << " is read by a rule, but metric_table() does not publish it";

    // RUNBOOK's entries are exactly the alerts.
    const std::string page = read_text(HALVORN_MAN_PAGE);
    const size_t start = page.find("\n.Sh RUNBOOK\n");
    ASSERT_NE(start, std::string::npos);
    std::istringstream runbook(page.substr(start, page.find("\n.Sh ", start + 1) - start));
    std::set<std::string> entries;
    for (std::string line; std::getline(runbook, line);)
        if (line.starts_with(".It Sy Halvorn"))
            entries.insert(line.substr(7));
    EXPECT_EQ(entries, alerts);
}

TEST_F(MetricsFileTest, UnreadableKnobsLeaveTheirSamplesOut)
{
    scripted.controller.knobs = {};
    const std::string text = metrics_text(view);
    EXPECT_EQ(text.find("halvorn_rate_limit_ratio{"), std::string::npos);
    EXPECT_TRUE(has_line(text, "# TYPE halvorn_rate_limit_ratio gauge"));
    EXPECT_TRUE(has_line(text, "halvorn_knob_readable{knob=\"hw.vmm.vcpu_limit.class.1.rate_limit\"} 0"));
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
