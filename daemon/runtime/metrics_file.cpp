#include "runtime/metrics_file.h"

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <iterator>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fmt/format.h>
#include <spdlog/spdlog.h>

#include "controller/controller_view.h"
#include "startup/identity.h"

namespace {

using Buffer = fmt::memory_buffer;

void header(Buffer& out, const char* name, const char* type, const char* help)
{
    fmt::format_to(std::back_inserter(out), "# HELP {} {}\n# TYPE {} {}\n", name, help, name, type);
}

template <typename Value>
void sample(Buffer& out, const char* name, const Value& value)
{
    fmt::format_to(std::back_inserter(out), "{} {}\n", name, value);
}

template <typename Value>
void labelled(Buffer& out, const char* name, const char* label, const std::string& label_value,
              const Value& value)
{
    fmt::format_to(std::back_inserter(out), "{}{{{}=\"{}\"}} {}\n", name, label,
                   escape_label_value(label_value), value);
}

void host_metrics(Buffer& out, const ControllerView& view)
{
    header(out, "halvorn_info", "gauge", "Version of the running halvorn.");
    labelled(out, "halvorn_info", "version", program_version(), 1);
    header(out, "halvorn_host_idle_average_percent", "gauge", "Host idle CPU share, averaged, in percent.");
    sample(out, "halvorn_host_idle_average_percent", view.idle_average());
    header(out, "halvorn_rate_limit_percent", "gauge", "vCPU rate limit of a class, in percent.");
    // An unreadable knob has no sample rather than a made-up one.
    if (const auto limit = view.knobs().class1_rate_limit)
        labelled(out, "halvorn_rate_limit_percent", "class", "1", *limit);
    if (const auto limit = view.knobs().class2_rate_limit)
        labelled(out, "halvorn_rate_limit_percent", "class", "2", *limit);
}

void vm_metrics(Buffer& out, const ControllerView& view)
{
    header(out, "halvorn_vms", "gauge", "Running VMs.");
    sample(out, "halvorn_vms", view.vms().size());
    header(out, "halvorn_vm_load_percent", "gauge", "Mean vCPU load of a VM, in percent of one CPU.");
    for (const auto& [pid, vm] : view.vms())
        if (const auto load = ControllerView::mean_load(*vm))
            labelled(out, "halvorn_vm_load_percent", "vm", vm->name, *load);
    header(out, "halvorn_vm_class", "gauge", "vCPU rate-limit class of a VM, -1 unknown.");
    for (const auto& [pid, vm] : view.vms())
        labelled(out, "halvorn_vm_class", "vm", vm->name, vm->last_class);
    header(out, "halvorn_vm_miner", "gauge", "1 when a VM is judged MINER, else 0.");
    for (const auto& [pid, vm] : view.vms())
        labelled(out, "halvorn_vm_miner", "vm", vm->name, vm->kind == kind_miner ? 1 : 0);
}

void counter_metrics(Buffer& out, const ControllerView& view)
{
    const ControllerTally& tally = view.tally();
    header(out, "halvorn_ticks_total", "counter", "Controller ticks since start.");
    sample(out, "halvorn_ticks_total", tally.ticks);
    header(out, "halvorn_kvm_errors_total", "counter", "Ticks lost to a kernel reader error.");
    sample(out, "halvorn_kvm_errors_total", tally.kvm_errors);
    header(out, "halvorn_class_moves_total", "counter", "VM moves between vCPU classes, by class moved to.");
    labelled(out, "halvorn_class_moves_total", "to", "1", tally.moves_to_class1);
    labelled(out, "halvorn_class_moves_total", "to", "2", tally.moves_to_class2);
    header(out, "halvorn_rate_limit_steps_total", "counter",
           "Steps of the class-1 rate limit, by direction.");
    labelled(out, "halvorn_rate_limit_steps_total", "direction", "down", tally.rate_limit_steps_down);
    labelled(out, "halvorn_rate_limit_steps_total", "direction", "up", tally.rate_limit_steps_up);
    header(out, "halvorn_tick_cpu_seconds", "gauge", "CPU time of the last tick, in seconds.");
    sample(out, "halvorn_tick_cpu_seconds", tally.last_tick_cpu_seconds);
}

}  // namespace

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
    Buffer out;
    host_metrics(out, view);
    vm_metrics(out, view);
    counter_metrics(out, view);
    return fmt::to_string(out);
}

std::string replace_file(const std::string& path, const std::string& text)
{
    const std::filesystem::path target(path);
    // Hidden, so that a collector reading *.prom never picks it up.
    std::string temporary = (target.parent_path() / ("." + target.filename().string() + ".XXXXXX")).string();
    const int fd = ::mkstemp(temporary.data());
    if (fd < 0)
        return fmt::format("cannot create a file next to it: {}", std::strerror(errno));

    std::string failure;
    size_t done = 0;
    while (failure.empty() && done < text.size()) {
        const ssize_t count = ::write(fd, text.data() + done, text.size() - done);
        if (count < 0 && errno != EINTR)
            failure = fmt::format("write: {}", std::strerror(errno));
        else if (count > 0)
            done += static_cast<size_t>(count);
    }
    // mkstemp makes it 0600; collectors run as other users.
    if (failure.empty() && ::fchmod(fd, 0644) != 0)
        failure = fmt::format("chmod: {}", std::strerror(errno));
    if (::close(fd) != 0 && failure.empty())
        failure = fmt::format("close: {}", std::strerror(errno));
    if (failure.empty() && ::rename(temporary.c_str(), path.c_str()) != 0)
        failure = fmt::format("rename: {}", std::strerror(errno));
    if (!failure.empty())
        ::unlink(temporary.c_str());
    return failure;
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
