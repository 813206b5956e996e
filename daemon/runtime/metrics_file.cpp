#include "runtime/metrics_file.h"

#include <array>
#include <cmath>
#include <initializer_list>
#include <iterator>
#include <optional>
#include <set>
#include <utility>
#include <vector>

#include <unistd.h>

#include <fmt/format.h>
#include <spdlog/spdlog.h>

#include "controller/controller_view.h"
#include "controller/host_knobs.h"
#include "controller/rate_limit_bounds.h"
#include "runtime/atomic_file.h"
#include "runtime/utf8_text.h"
#include "startup/identity.h"
#include "startup/settings.h"

namespace {

// The samples of one metric: each line starts with that metric's name.
class Samples {
public:
    Samples(fmt::memory_buffer& out, std::string_view name) : out_(out), name_(name) {}

    template <typename Value>
    void add(const Value& value)
    {
        fmt::format_to(std::back_inserter(out_), "{} {}\n", name_, value);
    }

    template <typename Value>
    void add(std::string_view label, const std::string& label_value, const Value& value)
    {
        add({{label, label_value}}, value);
    }

    template <typename Value>
    void add(std::initializer_list<std::pair<std::string_view, std::string>> labels, const Value& value)
    {
        fmt::format_to(std::back_inserter(out_), "{}{{", name_);
        const char* separator = "";
        for (const auto& [label, label_value] : labels) {
            fmt::format_to(std::back_inserter(out_), "{}{}=\"{}\"", separator, label,
                           escape_label_value(label_value));
            separator = ",";
        }
        fmt::format_to(std::back_inserter(out_), "}} {}\n", value);
    }

private:
    fmt::memory_buffer& out_;
    std::string_view name_;
};

// What one tick's file is written from. VMs whose label would repeat an
// earlier VM's are left out: one duplicate series makes the whole file
// unreadable to Prometheus.
struct Source {
    Source(const ControllerView& view, const RecorderCounts& recorder) : view(view), recorder(recorder)
    {
        std::set<std::string> labels;
        for (VmFacts& vm : view.vms())
            if (labels.insert(escape_label_value(vm.name)).second)
                vms.push_back(std::move(vm));
    }
    const ControllerView& view;
    const RecorderCounts& recorder;
    std::vector<VmFacts> vms;
};

using Sampler = void (*)(Samples&, const Source&);

struct Metric {
    MetricInfo info;
    Sampler samples;
};

// Six decimals are finer than anything measured, and keep 23.44 % from
// printing as 0.23440000000000003.
double ratio(double percent) { return std::round(percent * 1e4) / 1e6; }

void add_knob_readable(Samples& out, Knob knob, const std::optional<int>& value)
{
    out.add("knob", std::string(knob_name(knob)), value ? 1 : 0);
}

// The one list of metrics: name, type, help and where the samples come from.
// Shares are ratios, times seconds. An unknown value has no sample rather
// than a made-up one.
const std::array metrics{
    Metric{{"halvorn_info", "gauge", "Version of the running halvorn."},
           [](Samples& out, const Source&) { out.add("version", program_version(), 1); }},
    Metric{{"halvorn_last_tick_timestamp_seconds", "gauge", "Unix time at which the last tick ended."},
           [](Samples& out, const Source& from) { out.add(from.view.last_tick_unix_seconds()); }},
    Metric{{"halvorn_dry_run", "gauge", "1 while DryRun is on: no rate limit or class is changed."},
           [](Samples& out, const Source& from) { out.add(from.view.settings().dry_run ? 1 : 0); }},
    Metric{{"halvorn_host_idle_ratio", "gauge", "Host idle CPU share over the last tick."},
           [](Samples& out, const Source& from) {
               if (const auto share = from.view.idle_share())
                   out.add(ratio(*share));
           }},
    Metric{{"halvorn_host_idle_average_ratio", "gauge",
            "Host idle CPU share, averaged; reset to the band's middle after each rate-limit step."},
           [](Samples& out, const Source& from) { out.add(ratio(from.view.idle_average())); }},
    Metric{{"halvorn_idle_band_ratio", "gauge",
            "Idle levels: the band the rate limit is held in (min, max) and the class-move level."},
           [](Samples& out, const Source& from) {
               const Settings& settings = from.view.settings();
               out.add("bound", "min", ratio(settings.min_cpu_idle_level));
               out.add("bound", "max", ratio(settings.max_cpu_idle_level));
               out.add("bound", "class_move", ratio(settings.cpu_idle_level));
           }},
    Metric{{"halvorn_overload_bound_ratio", "gauge",
            "vCPU load at or above which a vCPU counts as overloaded (OverloadBound)."},
           [](Samples& out, const Source& from) { out.add(ratio(from.view.settings().overload_bound)); }},
    Metric{{"halvorn_rate_limit_ratio", "gauge", "vCPU rate limit of a class."},
           [](Samples& out, const Source& from) {
               if (const auto limit = from.view.knobs().class1_rate_limit)
                   out.add("class", "1", ratio(*limit));
               if (const auto limit = from.view.knobs().class2_rate_limit)
                   out.add("class", "2", ratio(*limit));
           }},
    Metric{{"halvorn_rate_limit_floor_ratio", "gauge", "Lowest class-1 rate limit the controller sets."},
           [](Samples& out, const Source&) { out.add(ratio(rate_limit_floor)); }},
    Metric{{"halvorn_rate_limit_ceiling_ratio", "gauge", "Highest class-1 rate limit the controller sets."},
           [](Samples& out, const Source&) { out.add(ratio(rate_limit_ceiling)); }},
    Metric{{"halvorn_dry_run_rate_limit_ratio", "gauge", "Class-1 rate limit a dry run would have set."},
           [](Samples& out, const Source& from) {
               if (const auto limit = from.view.dry_run_rate_limit())
                   out.add(ratio(*limit));
           }},
    Metric{{"halvorn_class2_regulated", "gauge",
            "1 while Class2RateLimitCeiling is set and the class-2 rate limit is regulated."},
           [](Samples& out, const Source& from) { out.add(from.view.class2_regulation().bounds ? 1 : 0); }},
    Metric{{"halvorn_class2_rate_limit_bound_ratio", "gauge",
            "Range the class-2 rate limit is regulated in (floor, ceiling); none while not regulated."},
           [](Samples& out, const Source& from) {
               if (const auto& bounds = from.view.class2_regulation().bounds) {
                   out.add("bound", "floor", ratio(bounds->floor));
                   out.add("bound", "ceiling", ratio(bounds->ceiling));
               }
           }},
    Metric{{"halvorn_class2_rate_limit_start_ratio", "gauge",
            "Class-2 rate limit found at the start: put back when halvorn stops or the regulation ends."},
           [](Samples& out, const Source& from) {
               if (const auto limit = from.view.class2_regulation().start_limit)
                   out.add(ratio(*limit));
           }},
    Metric{
        {"halvorn_dry_run_class2_rate_limit_ratio", "gauge", "Class-2 rate limit a dry run would have set."},
        [](Samples& out, const Source& from) {
            if (const auto limit = from.view.class2_regulation().dry_run_limit)
                out.add(ratio(*limit));
        }},
    Metric{{"halvorn_knob_readable", "gauge", "1 when a kernel knob could be read at the last tick."},
           [](Samples& out, const Source& from) {
               const HostKnobs& knobs = from.view.knobs();
               add_knob_readable(out, Knob::class1_rate_limit, knobs.class1_rate_limit);
               add_knob_readable(out, Knob::class2_rate_limit, knobs.class2_rate_limit);
               add_knob_readable(out, Knob::class1_burst_secs, knobs.class1_burst_secs);
           }},
    Metric{{"halvorn_vms", "gauge", "Running VMs."},
           [](Samples& out, const Source& from) { out.add(from.view.vm_count()); }},
    Metric{{"halvorn_vm_load_ratio", "gauge", "Mean vCPU demand of a VM (run and throttled time) per CPU."},
           [](Samples& out, const Source& from) {
               for (const VmFacts& vm : from.vms)
                   if (vm.load)
                       out.add("vm", vm.name, ratio(*vm.load));
           }},
    Metric{{"halvorn_vm_class", "gauge", "vCPU rate-limit class of a VM."},
           [](Samples& out, const Source& from) {
               for (const VmFacts& vm : from.vms)
                   if (vm.cls)
                       out.add("vm", vm.name, *vm.cls);
           }},
    Metric{{"halvorn_vm_miner", "gauge", "1 when a judged VM is a MINER, 0 when it is NORMAL."},
           [](Samples& out, const Source& from) {
               for (const VmFacts& vm : from.vms)
                   if (vm.judged)
                       out.add("vm", vm.name, vm.kind == kind_miner ? 1 : 0);
           }},
    Metric{{"halvorn_vm_exempt", "gauge", "1 when a VM matches an Exempt pattern."},
           [](Samples& out, const Source& from) {
               for (const VmFacts& vm : from.vms)
                   out.add("vm", vm.name, vm.exempt ? 1 : 0);
           }},
    Metric{{"halvorn_vm_countdown_seconds", "gauge", "Seconds left before a VM's judgement changes."},
           [](Samples& out, const Source& from) {
               for (const VmFacts& vm : from.vms)
                   if (vm.countdown_seconds && vm.countdown_to)
                       out.add({{"vm", vm.name}, {"to", std::string(kind_name(*vm.countdown_to))}},
                               *vm.countdown_seconds);
           }},
    Metric{{"halvorn_ticks_total", "counter", "Controller ticks since start."},
           [](Samples& out, const Source& from) { out.add(from.view.tally().ticks); }},
    Metric{{"halvorn_kvm_errors_total", "counter", "Ticks lost to a kernel reader error."},
           [](Samples& out, const Source& from) { out.add(from.view.tally().kvm_errors); }},
    Metric{{"halvorn_class_moves_total", "counter", "VM moves between vCPU classes, by class moved to."},
           [](Samples& out, const Source& from) {
               out.add("to", "1", from.view.tally().moves_to_class1);
               out.add("to", "2", from.view.tally().moves_to_class2);
           }},
    Metric{
        {"halvorn_vm_class_moves_total", "counter", "Moves of a VM between vCPU classes, by class moved to."},
        [](Samples& out, const Source& from) {
            for (const VmFacts& vm : from.vms) {
                out.add({{"vm", vm.name}, {"to", "1"}}, vm.moves_to_class1);
                out.add({{"vm", vm.name}, {"to", "2"}}, vm.moves_to_class2);
            }
        }},
    Metric{{"halvorn_vm_refused_class_moves_total", "counter",
            "Class moves of a VM that libvmmapi refused, by class asked for; retried every tick."},
           [](Samples& out, const Source& from) {
               for (const VmFacts& vm : from.vms) {
                   out.add({{"vm", vm.name}, {"to", "1"}}, vm.refused_moves_to_class1);
                   out.add({{"vm", vm.name}, {"to", "2"}}, vm.refused_moves_to_class2);
               }
           }},
    Metric{{"halvorn_vm_class_seconds_total", "counter", "Time a VM has spent in vCPU class 1 or 2."},
           [](Samples& out, const Source& from) {
               for (const VmFacts& vm : from.vms) {
                   out.add({{"vm", vm.name}, {"class", "1"}}, vm.class1_seconds);
                   out.add({{"vm", vm.name}, {"class", "2"}}, vm.class2_seconds);
               }
           }},
    Metric{{"halvorn_rate_limit_steps_total", "counter", "Steps of the class-1 rate limit, by direction."},
           [](Samples& out, const Source& from) {
               out.add("direction", "down", from.view.tally().rate_limit_steps_down);
               out.add("direction", "up", from.view.tally().rate_limit_steps_up);
           }},
    Metric{{"halvorn_class2_rate_limit_steps_total", "counter",
            "Steps of the class-2 rate limit by its regulator, by direction."},
           [](Samples& out, const Source& from) {
               out.add("direction", "down", from.view.tally().class2_steps_down);
               out.add("direction", "up", from.view.tally().class2_steps_up);
           }},
    Metric{{"halvorn_record_write_errors_total", "counter", "Failed attempts to open or write RecordFile."},
           [](Samples& out, const Source& from) { out.add(from.recorder.write_errors); }},
    Metric{{"halvorn_tick_cpu_seconds", "gauge", "CPU time of the last tick."},
           [](Samples& out, const Source& from) { out.add(from.view.tally().last_tick_cpu_seconds); }},
};

const std::array<MetricInfo, metrics.size()> infos = [] {
    std::array<MetricInfo, metrics.size()> all{};
    for (size_t i = 0; i < metrics.size(); ++i)
        all[i] = metrics[i].info;
    return all;
}();

}  // namespace

std::span<const MetricInfo> metric_table() { return infos; }

std::string escape_label_value(const std::string& text)
{
    std::string escaped;
    escaped.reserve(text.size());
    for (size_t at = 0; at < text.size();) {
        const size_t length = utf8_sequence_length(text, at);
        const char c = text[at];
        if (length == 0)
            // Label values must be UTF-8: one bad name would make the whole
            // file unreadable. The byte is written as the text \xNN.
            fmt::format_to(std::back_inserter(escaped), "\\\\x{:02x}", static_cast<unsigned char>(c));
        else if (c == '\\')
            escaped += "\\\\";
        else if (c == '"')
            escaped += "\\\"";
        else if (c == '\n')
            escaped += "\\n";
        else
            escaped.append(text, at, length);
        at += length == 0 ? 1 : length;
    }
    return escaped;
}

std::string metrics_text(const ControllerView& view, const RecorderCounts& recorder)
{
    const Source source(view, recorder);
    fmt::memory_buffer out;
    for (const Metric& metric : metrics) {
        const MetricInfo& info = metric.info;
        fmt::format_to(std::back_inserter(out), "# HELP {} {}\n# TYPE {} {}\n", info.name, info.help,
                       info.name, info.type);
        Samples samples(out, info.name);
        metric.samples(samples, source);
    }
    return fmt::to_string(out);
}

bool MetricsFile::write(const ControllerView& view, const std::string& path, const RecorderCounts& recorder)
{
    if (path != written_)
        remove();
    if (path.empty())
        return false;
    const std::string failure = replace_file(path, metrics_text(view, recorder));
    if (failure.empty()) {
        failing_ = false;
        written_ = path;
        return true;
    }
    if (!failing_)
        spdlog::warn("Metrics file '{}' not written: {}", path, failure);
    failing_ = true;
    return false;
}

void MetricsFile::remove()
{
    if (!written_.empty())
        ::unlink(written_.c_str());
    written_.clear();
}
