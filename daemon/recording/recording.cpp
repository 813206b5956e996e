#include "recording/recording.h"

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

const std::string& Recording::text(uint32_t index) const
{
    static const std::string none;
    return index < texts_.size() ? texts_[index] : none;
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

void Recording::clear_texts()
{
    text_index_.clear();
    texts_.clear();
}
