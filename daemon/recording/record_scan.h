#pragma once

// What the record parser reads fields with: blank-separated tokens, whole
// numbers, clocks, escaped texts and counters; a field that does not read
// throws RecordFailure, which marks the record bad.

#include <algorithm>
#include <charconv>
#include <cstdint>
#include <limits>
#include <optional>
#include <string>
#include <string_view>

#include "recording/record_format.h"

namespace record_scan {

// Splits at blanks, skipping runs of them.
class Tokens {
public:
    explicit Tokens(std::string_view line) : rest_(line) {}
    std::optional<std::string_view> next()
    {
        while (!rest_.empty() && rest_.front() == ' ')
            rest_.remove_prefix(1);
        if (rest_.empty())
            return std::nullopt;
        const size_t end = rest_.find(' ');
        const std::string_view token = rest_.substr(0, end);
        rest_.remove_prefix(end == std::string_view::npos ? rest_.size() : end);
        return token;
    }

private:
    std::string_view rest_;
};

// Reads a whole decimal number; none when anything else is there.
template <typename Number>
std::optional<Number> number(std::string_view text)
{
    // Most fields are a few plain digits: summed at once, without the
    // general parser's checks, where no overflow is possible.
    constexpr size_t safe_digits = std::numeric_limits<Number>::digits10;
    if (!text.empty() && text.size() <= safe_digits) {
        Number sum = 0;
        size_t i = 0;
        for (; i < text.size(); ++i) {
            const auto digit = static_cast<unsigned char>(text[i] - '0');
            if (digit > 9)
                break;
            sum = static_cast<Number>(sum * 10 + digit);
        }
        if (i == text.size())
            return sum;
    }
    Number value{};
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc() || end != text.data() + text.size())
        return std::nullopt;
    return value;
}

// Cuts `text` at the first `separator`: the part before it; `text` keeps the
// rest (empty when there was none).
inline std::string_view cut(std::string_view& text, char separator)
{
    const size_t at = text.find(separator);
    const std::string_view head = text.substr(0, at);
    text.remove_prefix(at == std::string_view::npos ? text.size() : at + 1);
    return head;
}

// Clocks beyond this are no clocks: the controller's arithmetic on them
// must not overflow (about 146 years of nanoseconds).
inline constexpr int64_t latest_clock = int64_t{1} << 62;

inline std::optional<int64_t> clock_value(std::string_view text)
{
    const std::optional<int64_t> value = number<int64_t>(text);
    if (!value || *value < 0 || *value > latest_clock)
        return std::nullopt;
    return value;
}

// a + b, kept within 0..latest_clock: a wall clock only stamps log lines.
inline int64_t clamped_sum(int64_t a, int64_t b)
{
    int64_t sum = 0;
    if (__builtin_add_overflow(a, b, &sum))
        return b > 0 ? latest_clock : 0;
    return std::clamp<int64_t>(sum, 0, latest_clock);
}

class RecordFailure {
public:
    explicit RecordFailure(std::string why) : why(std::move(why)) {}
    std::string why;
};

template <typename Number>
Number need(std::optional<Number> value, const char* what)
{
    if (!value)
        throw RecordFailure(std::string("bad ") + what);
    return *value;
}

inline std::string unescaped(std::string_view text, const char* what)
{
    std::string out;
    if (!unescape(text, out))
        throw RecordFailure(std::string("bad escape in ") + what);
    return out;
}

// A counter: a difference from `base`, or whole after "=".
inline uint64_t counter(std::string_view text, const uint64_t* base, const char* what)
{
    if (!text.empty() && text.front() == '=')
        return need(number<uint64_t>(text.substr(1)), what);
    if (base == nullptr)
        throw RecordFailure(std::string(what) + " has no base");
    return *base + need(number<uint64_t>(text), what);
}

}  // namespace record_scan
