#include "replay/sample_import.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <map>
#include <optional>
#include <span>

#include <fmt/format.h>
#include <nlohmann/json.hpp>

#include "controller/nanoseconds.h"
#include "io/whole_file.h"
#include "recording/record_format.h"
#include "startup/configuration.h"
#include "startup/settings.h"
#include "startup/settings_text.h"

namespace {

// Synthetic pids, one for each VM and vCPU count, in the order first seen.
constexpr int32_t first_pid = 1000;

constexpr const char* approximation =
    "no throttle time was measured; the host's idle is what the VMs leave of its CPUs; a VM's "
    "percentage is spread evenly over its vCPUs";

// Warns once when the VMs' samples, each held as the ticks hold it, add up
// to more than the host's CPUs: --host-cpus is then likely too low, and the
// replay would take the host as fully busy without a word.
void tell_overfull(std::span<const SampleFile> files, int host_cpus,
                   const std::unordered_map<std::string, int64_t>& last_sample_ns,
                   const SampleRows::Report& report)
{
    SampleRows rows(files, {});
    std::unordered_map<std::string, double> held;  // percent, by VM
    std::optional<int64_t> time;
    std::string where;  // of the first row of `time`
    std::string first_where;
    double first_sum = 0.0;
    uint64_t over = 0;
    const auto check = [&] {
        std::erase_if(held, [&](const auto& vm) { return last_sample_ns.at(vm.first) < *time; });
        double sum = 0.0;
        for (const auto& [vm, percent] : held)
            sum += percent;
        if (sum <= 100.0 * host_cpus)
            return;
        if (over++ == 0) {
            first_where = where;
            first_sum = sum;
        }
    };
    while (const Sample* sample = rows.next()) {
        if (!time || sample->time_ns != *time) {
            if (time)
                check();
            time = sample->time_ns;
            where = rows.where();
        }
        held[sample->vm] = sample->percent;
    }
    if (time)
        check();
    if (over > 0)
        report(
            fmt::format("{}: the VMs' samples add up to {:.6g}% of one CPU here, more than the {} CPUs of "
                        "--host-cpus give; the host is taken as fully busy at {} sample times like this one "
                        "(is --host-cpus too low?)",
                        first_where, first_sum, host_cpus, over));
}

}  // namespace

// The ticks of the import, one at a time: the samples read again, silently,
// and each VM's run time integrated over the time its sample holds.
class SampleImport::TickMaker {
public:
    TickMaker(const SampleImport& import, Recording& into)
        : import_(import), into_(into), rows_(import.files_, {})
    {
        take_next_sample();
        if (pending_) {
            next_ns_ = pending_->time_ns;
            start_header(next_ns_);
        }
    }

    // Appends the next tick; false after the last.
    bool make()
    {
        if (!pending_ && made_ == 0)
            return false;
        int64_t now = next_ns_;
        if (made_ > 0 && pending_ &&
            pending_->time_ns - previous_ns_ > longest_filled_gap_s * one_second_ns) {
            now = pending_->time_ns;
            start_header(now);
            for (auto& [pid, vm] : live_)
                vm.since_ns = now;  // nothing ran over the gap
        }
        if (now > import_.last_ns_)
            return false;
        while (pending_ && pending_->time_ns <= now) {
            apply(*pending_);
            take_next_sample();
        }
        // A VM lives to its last sample, whose value holds no longer.
        std::erase_if(live_, [&](const auto& entry) { return entry.second.last_ns < now; });
        for (auto& [pid, vm] : live_)
            run_until(vm, now);
        append_tick(now);
        previous_ns_ = now;
        next_ns_ = now + import_.tick_ns_;
        ++made_;
        return true;
    }

private:
    struct Vm {
        uint32_t name = no_name;
        int32_t vcpus = 0;
        double percent = 0.0;    // of one CPU, held since `since_ns`
        int64_t since_ns = 0;    // run time is counted up to here
        double vcpu_run_us = 0;  // each vCPU's, since the VM was first seen
        int64_t last_ns = 0;     // of its last sample
    };

    void take_next_sample()
    {
        const Sample* sample = rows_.next();
        pending_ = sample ? std::optional<Sample>(*sample) : std::nullopt;
    }

    void start_header(int64_t now)
    {
        HeaderRow header = import_.header_;
        header.steady_ns = header.wall_ns = now;
        into_.headers.push_back(std::move(header));
    }

    void run_until(Vm& vm, int64_t now)
    {
        const double us = static_cast<double>(now - vm.since_ns) / 1000.0;
        const double per_vcpu = vm.percent / 100.0 / vm.vcpus * us;
        vm.vcpu_run_us += per_vcpu;
        busy_us_ += per_vcpu * vm.vcpus;
        vm.since_ns = now;
    }

    void apply(const Sample& sample)
    {
        const auto known = pid_of_.find(sample.vm);
        if (known != pid_of_.end() && live_.contains(known->second)) {
            Vm& vm = live_.at(known->second);
            run_until(vm, sample.time_ns);
            vm.percent = sample.percent;
            if (vm.vcpus == sample.vcpus)
                return;
            // Another vCPU count is another boot: a new process.
            Vm reborn = vm;
            live_.erase(known->second);
            reborn.vcpus = sample.vcpus;
            reborn.vcpu_run_us = 0.0;
            known->second = next_pid_;
            live_.emplace(next_pid_++, reborn);
            return;
        }
        Vm vm;
        vm.name = into_.intern(sample.vm);
        vm.vcpus = sample.vcpus;
        vm.percent = sample.percent;
        vm.since_ns = sample.time_ns;
        const auto last = import_.last_sample_ns_.find(sample.vm);
        vm.last_ns = last != import_.last_sample_ns_.end() ? last->second : sample.time_ns;
        pid_of_.insert_or_assign(sample.vm, next_pid_);
        live_.emplace(next_pid_++, vm);
    }

    void append_tick(int64_t now)
    {
        TickRow tick;
        tick.seq = made_;
        tick.clock_ns = tick.wall_ns = now;
        tick.header = static_cast<uint32_t>(into_.headers.size() - 1);
        tick.cpu_read = true;
        // Microseconds of CPU time: the controller reads only their shares.
        const int cpus = import_.header_.cpus;
        const double capacity = made_ == 0 ? 0.0 : cpus * static_cast<double>(now - previous_ns_) / 1000.0;
        const double busy = std::min(busy_us_, capacity);
        user_us_ += static_cast<uint64_t>(std::llround(busy));
        idle_us_ += static_cast<uint64_t>(std::llround(capacity - busy));
        busy_us_ = 0.0;
        tick.cpu = {user_us_, 0, 0, 0, idle_us_, true};
        tick.class1 = {true, true, 100};
        tick.class2 = {true, true, imported_class2_limit};
        tick.burst = {true, true, imported_burst_secs};
        tick.first_vm = static_cast<uint32_t>(into_.vms.size());
        tick.first_vcpu = static_cast<uint32_t>(into_.vcpus.size());
        tick.first_process = static_cast<uint32_t>(into_.processes.size());

        std::vector<int32_t> pids;
        for (const auto& [pid, vm] : live_)
            pids.push_back(pid);
        tick.rebuilt = pids != pids_before_;
        pids_before_ = std::move(pids);
        for (const auto& [pid, vm] : live_) {
            if (tick.rebuilt)
                into_.processes.push_back({pid, pid, vm.name});
            VmRow row;
            row.pid = row.group = pid;
            row.name = vm.name;
            row.outcome = VmOutcome::opened;
            row.threads_read = true;
            row.cls = 1;
            row.first_vcpu = static_cast<uint32_t>(into_.vcpus.size());
            row.vcpu_count = static_cast<uint32_t>(vm.vcpus);
            const auto run = static_cast<uint64_t>(std::llround(vm.vcpu_run_us));
            for (int32_t number = 0; number < vm.vcpus; ++number)
                into_.vcpus.push_back({number, ThrottleRead::known, run, 0});
            into_.vms.push_back(row);
        }
        tick.vm_count = static_cast<uint32_t>(into_.vms.size()) - tick.first_vm;
        tick.process_count = static_cast<uint32_t>(into_.processes.size()) - tick.first_process;
        into_.ticks.push_back(tick);
    }

    const SampleImport& import_;
    Recording& into_;
    SampleRows rows_;
    std::optional<Sample> pending_;  // the next sample, not yet in force
    uint64_t made_ = 0;
    int64_t next_ns_ = 0;
    int64_t previous_ns_ = 0;
    std::map<int32_t, Vm> live_;  // by pid: ticks hold their VMs in pid order
    std::unordered_map<std::string, int32_t> pid_of_;
    int32_t next_pid_ = first_pid;
    std::vector<int32_t> pids_before_;
    double busy_us_ = 0.0;  // since the last tick
    uint64_t user_us_ = 0;
    uint64_t idle_us_ = 0;
};

std::vector<SampleFile> read_sample_files(const std::vector<std::string>& paths,
                                          const SampleRows::Report& report)
{
    std::vector<SampleFile> files;
    for (const std::string& path : paths) {
        SampleFile file{path, {}};
        std::string error;
        if (read_whole_file(path, file.bytes, error))
            files.push_back(std::move(file));
        else
            report(fmt::format("{}: cannot be read: {}", path, error));
    }
    return files;
}

SampleImport::SampleImport(std::vector<SampleFile> files, int host_cpus, const std::string& config_text,
                           const Report& report)
{
    std::vector<std::pair<int64_t, size_t>> order;
    for (size_t i = 0; i < files.size(); ++i) {
        SampleRows first({&files[i], 1}, {});
        const Sample* sample = first.next();
        order.emplace_back(sample ? sample->time_ns : std::numeric_limits<int64_t>::max(), i);
    }
    std::stable_sort(order.begin(), order.end(),
                     [](const auto& a, const auto& b) { return a.first < b.first; });
    for (const auto& [time, i] : order)
        files_.push_back(std::move(files[i]));

    SampleRows rows(files_, report);
    while (const Sample* sample = rows.next()) {
        last_sample_ns_[sample->vm] = sample->time_ns;
        last_ns_ = sample->time_ns;
        ++rows_;
    }
    skipped_ = rows.skipped();
    if (report)
        tell_overfull(files_, host_cpus, last_sample_ns_, report);

    Settings settings;
    std::string error;
    (void)read_configuration_text(settings, config_text, error);  // checked as -c was read
    settings.dry_run = true;
    tick_ns_ = settings.update_time * (one_second_ns / 1000);
    header_.format = record_format;
    header_.reason = HeaderReason::start;
    header_.cpus = host_cpus;
    header_.update_time = settings.update_time;
    header_.settings = settings_text(settings);
}

uint64_t SampleImport::feed(Recording& into, const std::function<void(size_t)>& taken) const
{
    TickMaker maker(*this, into);
    uint64_t made = 0;
    while (maker.make()) {
        ++made;
        if (taken)
            taken(into.ticks.size() - 1);
    }
    return made;
}

std::string SampleImport::note() const
{
    return fmt::format(
        "Imported, not recorded: {} CSV rows of {} VMs on a host of {} CPUs, replayed at a {:g} s "
        "tick as if recorded in a dry run.\nApproximated: {}; the class-2 rate limit is taken as "
        "{}% and the class-1 burst as {} s.\n",
        rows_, last_sample_ns_.size(), header_.cpus, static_cast<double>(tick_ns_) / one_second_ns,
        approximation, imported_class2_limit, imported_burst_secs);
}

std::string SampleImport::with_note(const std::string& summary_json) const
{
    nlohmann::ordered_json out = nlohmann::ordered_json::parse(summary_json);
    out["imported"] = {
        {"rows", rows_},
        {"vms", last_sample_ns_.size()},
        {"host_cpus", header_.cpus},
        {"tick_seconds", static_cast<double>(tick_ns_) / one_second_ns},
        {"approximation", approximation},
        {"class2_rate_limit", imported_class2_limit},
        {"class1_burst_seconds", imported_burst_secs},
    };
    return out.dump(2) + "\n";
}
