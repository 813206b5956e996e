#include "startup/configuration_keys.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <limits>

#include <strings.h>

namespace {

constexpr auto none = std::nullopt;

// inih's words for a boolean; any other text leaves the default.
std::optional<bool> boolean_word(const std::string& value)
{
    for (const char* word : {"true", "yes", "on", "1"})
        if (::strcasecmp(value.c_str(), word) == 0)
            return true;
    for (const char* word : {"false", "no", "off", "0"})
        if (::strcasecmp(value.c_str(), word) == 0)
            return false;
    return std::nullopt;
}

std::string joined(const std::vector<std::string>& items)
{
    std::string text;
    for (const std::string& item : items)
        text += (text.empty() ? "" : ",") + item;
    return text;
}

std::string where(const ConfigurationKey& key)
{
    return std::string(key.section) + "." + std::string(key.name);
}

}  // namespace

std::span<const ConfigurationKey> configuration_keys()
{
    using S = Settings;
    static const ConfigurationKey keys[] = {
        {"COMMON", "LogLevel", KeyKind::level, &S::log_level, none, none},
        {"COMMON", "UpdateVMList", KeyKind::integer, &S::update_vm_list, 1, none, fixed_by_recording},
        {"COMMON", "UpdateTime", KeyKind::integer, &S::update_time, 100, 10000,
         fixed_by_recording | in_summary},
        {"COMMON", "AveragingTime", KeyKind::integer, &S::averaging_time, 10, none, in_summary},
        // At least 5 above MinCpuIdleLevel too: apply_bounds.
        {"RATE_LIMIT", "MaxCpuIdleLevel", KeyKind::integer, &S::max_cpu_idle_level, none, 95, in_summary},
        {"RATE_LIMIT", "MinCpuIdleLevel", KeyKind::integer, &S::min_cpu_idle_level, 5, 90, in_summary},
        // A step below 1 would drive the class-1 rate limit out of its range.
        {"RATE_LIMIT", "RateLimitDelta", KeyKind::integer, &S::rate_limit_delta, 1, none, in_summary},
        // 0 is unset: no regulation of the class-2 limit, or no floor of its own.
        {"RATE_LIMIT", "Class2RateLimitFloor", KeyKind::integer, &S::class2_rate_limit_floor, 0, 100,
         in_summary_when_set},
        {"RATE_LIMIT", "Class2RateLimitCeiling", KeyKind::integer, &S::class2_rate_limit_ceiling, 0, 100,
         in_summary_when_set},
        {"VCPU_CLASS", "CpuIdleLevel", KeyKind::integer, &S::cpu_idle_level, 5, 99, in_summary},
        {"VCPU_CLASS", "OverloadBound", KeyKind::integer, &S::overload_bound, 10, 99, in_summary},
        {"VCPU_CLASS", "VCPU", KeyKind::integer, &S::vcpu, 1, none, in_summary},
        {"COMMON", "MetricsFile", KeyKind::text, &S::metrics_file, none, none, fixed_by_recording},
        {"COMMON", "DryRun", KeyKind::boolean, &S::dry_run, none, none, in_summary_when_set},
        {"COMMON", "RecordFile", KeyKind::text, &S::record_file, none, none, fixed_by_recording},
        {"VCPU_CLASS", "Exempt", KeyKind::name_list, &S::exempt, none, none, in_summary_when_set},
    };
    return keys;
}

std::string key_value_text(const ConfigurationKey& key, const Settings& settings)
{
    return std::visit(
        [&](auto member) -> std::string {
            const auto& value = settings.*member;
            using Value = std::decay_t<decltype(value)>;
            if constexpr (std::is_same_v<Value, bool>)
                return value ? "true" : "false";
            else if constexpr (std::is_same_v<Value, std::string>)
                return value;
            else if constexpr (std::is_same_v<Value, std::vector<std::string>>)
                return joined(value);
            else
                return key.kind == KeyKind::level ? level_name(static_cast<int>(value))
                                                  : std::to_string(value);
        },
        key.field);
}

std::string set_key_value(const ConfigurationKey& key, const std::string& value, Settings& settings)
{
    switch (key.kind) {
    case KeyKind::integer: {
        char* end = nullptr;
        errno = 0;
        const long number = std::strtol(value.c_str(), &end, 0);
        if (value.empty() || *end != '\0' || errno == ERANGE)
            return where(key) + " takes a whole number, not '" + value + "'";
        // As the file's reader does: a 32-bit field keeps the low 32 bits.
        std::visit(
            [&](auto member) {
                using Value = std::decay_t<decltype(settings.*member)>;
                if constexpr (std::is_integral_v<Value> && !std::is_same_v<Value, bool>)
                    settings.*member = static_cast<Value>(number);
            },
            key.field);
        return {};
    }
    case KeyKind::boolean: {
        const std::optional<bool> word = boolean_word(value);
        if (!word)
            return where(key) + " takes true or false, not '" + value + "'";
        settings.*std::get<bool Settings::*>(key.field) = *word;
        return {};
    }
    case KeyKind::level:
        if (!settings.set_log_level(value))
            return where(key) + " takes a level (trace, debug, info, warn, err, critical, off), not '" +
                   value + "'";
        return {};
    case KeyKind::text: settings.*std::get<std::string Settings::*>(key.field) = value; return {};
    case KeyKind::name_list:
        settings.*std::get<std::vector<std::string> Settings::*>(key.field) = split_name_list(value);
        return {};
    }
    return {};
}

void copy_key_value(const ConfigurationKey& key, const Settings& from, Settings& to)
{
    std::visit([&](auto member) { to.*member = from.*member; }, key.field);
}

void clamp_to_bounds(const ConfigurationKey& key, Settings& settings)
{
    if (!key.lowest && !key.highest)
        return;
    std::visit(
        [&](auto member) {
            using Value = std::decay_t<decltype(settings.*member)>;
            if constexpr (std::is_integral_v<Value> && !std::is_same_v<Value, bool>) {
                const int64_t lowest = key.lowest.value_or(std::numeric_limits<Value>::min());
                const int64_t highest = key.highest.value_or(std::numeric_limits<Value>::max());
                settings.*member = static_cast<Value>(std::clamp<int64_t>(settings.*member, lowest, highest));
            }
        },
        key.field);
}
