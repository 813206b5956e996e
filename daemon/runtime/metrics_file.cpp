#include "runtime/metrics_file.h"

#include <array>
#include <iterator>
#include <vector>

#include <fmt/format.h>
#include <spdlog/spdlog.h>

#include "controller/controller_view.h"
#include "runtime/atomic_file.h"
#include "startup/identity.h"

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
        fmt::format_to(std::back_inserter(out_), "{}{{{}=\"{}\"}} {}\n", name_, label,
                       escape_label_value(label_value), value);
    }

private:
    fmt::memory_buffer& out_;
    std::string_view name_;
};

// What one tick's file is written from.
struct Source {
    const ControllerView& view;
    std::vector<VmFacts> vms;
};

using Sampler = void (*)(Samples&, const Source&);

struct Metric {
    MetricInfo info;
    Sampler samples;
};

// The one list of metrics: name, type, help and where the samples come from.
// An unreadable value has no sample rather than a made-up one.
const std::array metrics{
    Metric{{"halvorn_info", "gauge", "Version of the running halvorn."},
           [](Samples& out, const Source&) { out.add("version", program_version(), 1); }},
    Metric{{"halvorn_host_idle_average_percent", "gauge", "Host idle CPU share, averaged, in percent."},
           [](Samples& out, const Source& from) { out.add(from.view.idle_average()); }},
    Metric{{"halvorn_rate_limit_percent", "gauge", "vCPU rate limit of a class, in percent."},
           [](Samples& out, const Source& from) {
               if (const auto limit = from.view.knobs().class1_rate_limit)
                   out.add("class", "1", *limit);
               if (const auto limit = from.view.knobs().class2_rate_limit)
                   out.add("class", "2", *limit);
           }},
    Metric{{"halvorn_vms", "gauge", "Running VMs."},
           [](Samples& out, const Source& from) { out.add(from.vms.size()); }},
    Metric{{"halvorn_vm_load_percent", "gauge", "Mean vCPU load of a VM, in percent of one CPU."},
           [](Samples& out, const Source& from) {
               for (const VmFacts& vm : from.vms)
                   if (vm.load)
                       out.add("vm", vm.name, *vm.load);
           }},
    Metric{{"halvorn_vm_class", "gauge", "vCPU rate-limit class of a VM, -1 unknown."},
           [](Samples& out, const Source& from) {
               for (const VmFacts& vm : from.vms)
                   out.add("vm", vm.name, vm.cls.value_or(-1));
           }},
    Metric{{"halvorn_vm_miner", "gauge", "1 when a VM is judged MINER, else 0."},
           [](Samples& out, const Source& from) {
               for (const VmFacts& vm : from.vms)
                   out.add("vm", vm.name, vm.kind == kind_miner ? 1 : 0);
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
    Metric{{"halvorn_rate_limit_steps_total", "counter", "Steps of the class-1 rate limit, by direction."},
           [](Samples& out, const Source& from) {
               out.add("direction", "down", from.view.tally().rate_limit_steps_down);
               out.add("direction", "up", from.view.tally().rate_limit_steps_up);
           }},
    Metric{{"halvorn_tick_cpu_seconds", "gauge", "CPU time of the last tick, in seconds."},
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
    for (const char c : text) {
        if (c == '\\')
            escaped += "\\\\";
        else if (c == '"')
            escaped += "\\\"";
        else if (c == '\n')
            escaped += "\\n";
        else
            escaped += c;
    }
    return escaped;
}

std::string metrics_text(const ControllerView& view)
{
    const Source source{view, view.vms()};
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

bool MetricsFile::write(const ControllerView& view, const std::string& path)
{
    if (path.empty())
        return false;
    const std::string failure = replace_file(path, metrics_text(view));
    if (failure.empty()) {
        failing_ = false;
        return true;
    }
    if (!failing_)
        spdlog::warn("Metrics file '{}' not written: {}", path, failure);
    failing_ = true;
    return false;
}
