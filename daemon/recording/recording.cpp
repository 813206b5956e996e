#include "recording/recording.h"

#include <algorithm>
#include <exception>

std::optional<size_t> Recording::find_vm(const TickRow& tick, int32_t pid, size_t& hint) const
{
    // The VM found last first: callers ask for one VM several times in a
    // row, then for the next.
    for (size_t tried = 0; tried < tick.vm_count; ++tried) {
        const size_t i = tick.first_vm + (hint + tick.vm_count - 1 + tried) % tick.vm_count;
        if (vms[i].pid == pid) {
            hint = i - tick.first_vm + 1;
            return i;
        }
    }
    return std::nullopt;
}

uint32_t Recording::intern(std::string_view text)
{
    const auto known = text_index_.find(text);
    if (known != text_index_.end())
        return known->second;
    const auto index = static_cast<uint32_t>(texts_.size());
    texts_.emplace_back(text);
    text_index_.emplace(texts_.back(), index);
    return index;
}

const std::string& Recording::no_text()
{
    static const std::string none;
    return none;
}

void Recording::reserve_ticks(size_t more)
{
    if (ticks.empty())
        return;
    // Room never used costs address space only.
    const double per_tick = 1.25 * static_cast<double>(more) / static_cast<double>(ticks.size());
    // An estimate from a strange file may ask for more than can be had.
    static constexpr double most_rows = 1 << 28;
    const auto grow = [per_tick](auto& rows) {
        try {
            rows.reserve(rows.size() + static_cast<size_t>(
                                           std::min(most_rows, per_tick * static_cast<double>(rows.size()))));
        } catch (const std::exception&) {
        }
    };
    grow(ticks);
    grow(vms);
    grow(vcpus);
    grow(processes);
}

void Recording::clear_rows()
{
    headers.clear();
    ticks.clear();
    vms.clear();
    vcpus.clear();
    processes.clear();
}

void Recording::drop_last_tick()
{
    if (ticks.empty())
        return;
    const TickRow& tick = ticks.back();
    vms.resize(tick.first_vm);
    vcpus.resize(tick.first_vcpu);
    processes.resize(tick.first_process);
    ticks.pop_back();
}

void Recording::drop_ticks_before(size_t keep)
{
    if (keep == 0 || keep > ticks.size())
        return;
    if (keep == ticks.size()) {
        ticks.clear();
        vms.clear();
        vcpus.clear();
        processes.clear();
        return;
    }
    const TickRow first = ticks[keep];
    ticks.erase(ticks.begin(), ticks.begin() + static_cast<std::ptrdiff_t>(keep));
    vms.erase(vms.begin(), vms.begin() + first.first_vm);
    vcpus.erase(vcpus.begin(), vcpus.begin() + first.first_vcpu);
    processes.erase(processes.begin(), processes.begin() + first.first_process);
    for (TickRow& tick : ticks) {
        tick.first_vm -= first.first_vm;
        tick.first_vcpu -= first.first_vcpu;
        tick.first_process -= first.first_process;
    }
    for (VmRow& vm : vms)
        vm.first_vcpu -= first.first_vcpu;
}

void Recording::clear_texts()
{
    text_index_.clear();
    texts_.clear();
}
