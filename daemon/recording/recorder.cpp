#include "recording/recorder.h"

#include <chrono>

#include <unistd.h>

#include <spdlog/spdlog.h>

#include "controller/controller_view.h"
#include "controller/nanoseconds.h"
#include "recording/record_format.h"
#include "startup/identity.h"
#include "startup/settings.h"
#include "startup/settings_text.h"

namespace {

// A damaged line costs at most the ticks up to the next keyframe.
constexpr int64_t keyframe_interval_ns = 60 * one_second_ns;
// A crash loses at most this much of the recording.
constexpr int64_t flush_interval_ns = 10 * one_second_ns;
// Compressed bytes kept while the file takes none; beyond this they are
// given up and the recording resumes with a header.
constexpr size_t most_pending = 8 << 20;

int64_t wall_now_ns()
{
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

}  // namespace

HostAccess& Recorder::tap(HostAccess& host)
{
    noting_.reset();
    host_ = nullptr;
    if (Settings::instance().record_file.empty())
        return host;
    current_.clear_rows();
    // Names of VMs long gone would pile up over months.
    if (current_.text_count() > 4096)
        current_.clear_texts();
    host_ = &host;
    return noting_.emplace(host, current_);
}

void Recorder::after_reload()
{
    reopen_due_ = true;
    header_due_ = HeaderReason::reload;
}

void Recorder::reopen()
{
    reopen_due_ = true;
    if (file_.is_open())
        spdlog::info("Record file '{}' is opened again at the next tick", path_);
}

void Recorder::stop()
{
    file_.close();
    noting_.reset();
}

void Recorder::after_tick(const ControllerView& view)
{
    const Settings& settings = view.settings();
    const std::string& path = settings.record_file;
    if (!noting_ || current_.ticks.empty()) {
        if (path.empty() && file_.is_open())
            file_.close();
        return;
    }
    TickRow& tick = current_.ticks.back();
    tick.seq = seq_++;
    // A tick whose kernel reader failed reads no clock of its own.
    if (!tick.host_open)
        tick.clock_ns = host_->now();
    complete_identities(tick);
    if (!ensure_open(path)) {
        previous_.clear_rows();
        return;
    }
    const bool header = header_due_.has_value();
    write_tick(tick, settings);
    flush_to_file(tick.clock_ns, header);
    std::swap(previous_, current_);
}

bool Recorder::ensure_open(const std::string& path)
{
    if (file_.is_open() && (reopen_due_ || path != path_ || file_.replaced(path))) {
        file_.close();
        if (!header_due_)
            header_due_ = HeaderReason::reopen;
    }
    reopen_due_ = false;
    if (file_.is_open())
        return true;
    if (!file_.open(path)) {
        ++write_errors_;
        if (!failing_ || path != path_)
            spdlog::warn("Record file '{}' cannot be opened: {}", path, file_.error());
        failing_ = true;
        path_ = path;
        // A start stays one: the replay begins its controller afresh there.
        if (header_due_ != HeaderReason::start)
            header_due_ = HeaderReason::resume;
        return false;
    }
    path_ = path;
    if (!header_due_)
        header_due_ = HeaderReason::reopen;
    return true;
}

void Recorder::complete_identities(TickRow& tick)
{
    if (tick.rebuilt) {
        identities_.clear();
        for (const ProcessRow& process : current_.processes_of(tick))
            identities_[process.pid] = {process.group, current_.text(process.name)};
    }
    for (uint32_t i = tick.first_vm; i < tick.first_vm + tick.vm_count; ++i) {
        VmRow& vm = current_.vms[i];
        Identity& known = identities_[vm.pid];
        if (vm.group >= 0)
            known.group = vm.group;
        else
            vm.group = known.group;
        if (vm.name != no_name)
            known.name = current_.text(vm.name);
        else
            vm.name = current_.intern(known.name);
    }
}

void Recorder::write_header(HeaderReason reason, const TickRow& tick, const Settings& settings)
{
    HeaderRow header;
    header.format = record_format;
    header.version = program_version();
    header.reason = reason;
    header.cpus = host_->cpu_count();
    header.pid = static_cast<int32_t>(::getpid());
    header.update_time = settings.update_time;
    header.steady_ns = tick.clock_ns;
    header.wall_ns = tick.wall_ns;
    header.settings = settings_text(settings);
    line_.clear();
    append_header(line_, header);
    line_ += '\n';
    file_.add(line_);
}

void Recorder::write_tick(TickRow& tick, const Settings& settings)
{
    // The wall clock is read at each header and then moves with the steady
    // one, so that times in a replay follow the controller's clock.
    if (header_due_)
        wall_offset_ns_ = wall_now_ns() - tick.clock_ns;
    tick.wall_ns = tick.clock_ns + wall_offset_ns_;
    const TickRow* base = nullptr;
    if (header_due_) {
        file_.begin_member();
        write_header(*header_due_, tick, settings);
        header_due_.reset();
        last_keyframe_ns_ = tick.clock_ns;
    } else if (tick.host_open) {
        const TickRow* last = previous_.ticks.empty() ? nullptr : &previous_.ticks.back();
        if (last != nullptr && last->host_open && last->seq + 1 == tick.seq &&
            tick.clock_ns - last_keyframe_ns_ < keyframe_interval_ns && tick.clock_ns >= last_keyframe_ns_)
            base = last;
        else {
            file_.begin_member();
            last_keyframe_ns_ = tick.clock_ns;
        }
    }
    line_.clear();
    append_tick(line_, current_, tick, base ? &previous_ : nullptr, base);
    line_ += '\n';
    file_.add(line_);
}

void Recorder::flush_to_file(int64_t clock_ns, bool header)
{
    const int64_t since = clock_ns - last_flush_ns_;
    if (!header && since >= 0 && since < flush_interval_ns)
        return;
    last_flush_ns_ = clock_ns;
    if (file_.flush()) {
        if (failing_)
            spdlog::info("Record file '{}' written again", path_);
        failing_ = false;
        return;
    }
    ++write_errors_;
    if (!failing_)
        spdlog::warn("Record file '{}' not written: {}", path_, file_.error());
    failing_ = true;
    if (file_.pending() > most_pending) {
        file_.abandon();
        header_due_ = HeaderReason::resume;
    }
}
