#include "fault.h"

#include <charconv>

#include "vm_state.h"

namespace vmmsim {
namespace {

constexpr const char* operation_names[fault_operation_count] = {"open", "get_class", "set_class", "stats",
                                                                "stat_desc"};

}  // namespace

std::optional<FaultOperation> parse_fault_operation(std::string_view text)
{
    for (int i = 0; i < fault_operation_count; ++i)
        if (text == operation_names[i])
            return static_cast<FaultOperation>(i);
    return std::nullopt;
}

const char* fault_operation_name(FaultOperation operation) { return operation_names[operation]; }

std::optional<FaultSetting> parse_fault_setting(std::string_view text)
{
    if (text == "on")
        return FaultSetting{fault_on, 100};
    if (text == "off")
        return FaultSetting{fault_off, 0};
    if (text == "once")
        return FaultSetting{fault_once, 0};
    if (text.size() < 2 || text.back() != '%')
        return std::nullopt;
    const std::string_view digits = text.substr(0, text.size() - 1);
    int rate = -1;
    const auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), rate);
    if (error != std::errc{} || end != digits.data() + digits.size() || rate < 0 || rate > 100)
        return std::nullopt;
    return FaultSetting{fault_rate, rate};
}

std::string format_fault_setting(const FaultSlot& slot)
{
    switch (load(slot.mode)) {
    case fault_on: return "on";
    case fault_once: return "once";
    case fault_rate: return std::to_string(load(slot.rate)) + "%";
    default: return "off";
    }
}

void set_fault(FaultSlot& slot, FaultSetting setting)
{
    // Off first, so that a call in between never sees the new rate with the
    // old counts.
    store<int32_t>(slot.mode, fault_off);
    store<uint64_t>(slot.calls, 0);
    store<uint64_t>(slot.injected, 0);
    store<int32_t>(slot.rate, setting.rate);
    store<int32_t>(slot.mode, setting.mode);
}

bool inject_fault(FaultSlot& slot)
{
    const uint64_t n = std::atomic_ref<uint64_t>(slot.calls).fetch_add(1) + 1;
    bool fail = false;
    switch (load(slot.mode)) {
    case fault_on: fail = true; break;
    case fault_once: {
        // Only one caller may take the single failure.
        int32_t expected = fault_once;
        fail = std::atomic_ref<int32_t>(slot.mode).compare_exchange_strong(expected, fault_off);
        break;
    }
    case fault_rate: {
        // Call n fails when n * rate / 100 steps up: exactly `rate` failures
        // in every hundred calls, never bunched together.
        const auto rate = static_cast<uint64_t>(load(slot.rate));
        fail = n * rate / 100 != (n - 1) * rate / 100;
        break;
    }
    default: break;
    }
    if (fail)
        add<uint64_t>(slot.injected, 1);
    return fail;
}

}  // namespace vmmsim
