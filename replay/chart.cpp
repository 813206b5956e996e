#include "replay/chart.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string_view>
#include <vector>

#include <unistd.h>

#include "chart_dirs.h"
#include "controller/controller_view.h"
#include "replay/child_run.h"
#include "replay/replay_host.h"
#include "runtime/metrics_file.h"
#include "startup/settings.h"

namespace {

// Samples after which a long replay keeps half as many of the ticks after.
constexpr size_t picture_ticks = 4000;

// Where chart.sh is: installed beside the program's data, or in the source
// tree the program was built from; empty when in neither.
std::string chart_script()
{
    for (const char* dir : {HALVORN_CHART_DIR, HALVORN_SOURCE_CHART_DIR}) {
        const std::string script = std::string(dir) + "/chart.sh";
        if (::access(script.c_str(), R_OK) == 0)
            return script;
    }
    return {};
}

}  // namespace

ReplayChart::~ReplayChart()
{
    if (out_ != nullptr)
        std::fclose(out_);
    if (!samples_.empty())
        std::filesystem::remove(samples_);
}

bool ReplayChart::prepare(std::string& error)
{
    error = gnuplot_missing();
    if (!error.empty())
        return false;
    script_ = chart_script();
    if (script_.empty()) {
        error = std::string("the chart scripts are in neither ") + HALVORN_CHART_DIR + " nor " +
                HALVORN_SOURCE_CHART_DIR;
        return false;
    }
    const int fd = chart_scratch_file("halvorn-replay-chart", samples_, error);
    if (fd < 0) {
        samples_.clear();
        return false;
    }
    out_ = ::fdopen(fd, "w");
    if (out_ == nullptr)
        error = std::string("no scratch file for the chart: ") + std::strerror(errno);
    return out_ != nullptr;
}

void ReplayChart::after_tick(const TickRow& tick, const ControllerView& view, const ReplayHost& host)
{
    if (out_ == nullptr)
        return;
    if (seen_++ == 0)
        first_wall_ns_ = tick.wall_ns;
    size_t miners = 0;
    view.for_each_vm([&miners](const VmFacts& vm) { miners += vm.kind == kind_miner ? 1 : 0; });
    const bool changed =
        !host.moves().empty() || !host.steps().empty() || !host.class2_steps().empty() || miners != miners_;
    miners_ = miners;
    if (!changed && (seen_ - 1) % every_ != 0)
        return;
    if (++kept_ % picture_ticks == 0)
        every_ *= 2;
    const std::string text = metrics_text(view);
    const double seconds = static_cast<double>(tick.wall_ns - first_wall_ns_) / 1e9;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos)
            end = text.size();
        const std::string_view line(text.data() + start, end - start);
        if (!line.empty() && line.front() != '#')
            std::fprintf(out_, "%.2f %.*s\n", seconds, static_cast<int>(line.size()), line.data());
        start = end + 1;
    }
}

bool ReplayChart::draw(const std::string& png, const Settings& settings, const std::string& title,
                       std::string& error)
{
    if (out_ == nullptr || std::fclose(out_) != 0) {
        out_ = nullptr;
        error = "the chart's samples could not be written";
        return false;
    }
    out_ = nullptr;
    const int status = run_and_wait(
        {"sh", script_, "--band", std::to_string(settings.min_cpu_idle_level),
         std::to_string(settings.max_cpu_idle_level), "--class-idle", std::to_string(settings.cpu_idle_level),
         "--overload-bound", std::to_string(settings.overload_bound), "--title", title, samples_, png});
    if (status != 0) {
        error = "chart.sh failed";
        return false;
    }
    return true;
}
