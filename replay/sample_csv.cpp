#include "replay/sample_csv.h"

#include <algorithm>
#include <charconv>
#include <chrono>
#include <cmath>
#include <cstdlib>

#include <fmt/format.h>

#include "controller/nanoseconds.h"
#include "recording/record_fields.h"

namespace {

// Rows of one kind of fault named per file; the rest are counted.
constexpr uint64_t most_messages = 10;

// What the rows a kind of fault skipped had, for the count at a file's end.
constexpr const char* fault_rows[SampleRows::fault_kinds] = {
    "columns other than the header's",
    "fields that do not read",
    "a time that goes back",
    "a percentage out of range",
    "a vCPU count that changes within a sample",
    "a second row for a VM at one time",
};

constexpr std::string_view column_names[] = {"time", "vm", "vcpus", "cpu_percent"};

// Within int64 nanoseconds, with room to spare.
constexpr int64_t latest_seconds = 9'000'000'000;

bool is_blank(char c) { return c == ' ' || c == '\t'; }

std::string_view trimmed(std::string_view text)
{
    while (!text.empty() && is_blank(text.front()))
        text.remove_prefix(1);
    while (!text.empty() && is_blank(text.back()))
        text.remove_suffix(1);
    return text;
}

bool is_digit(char c) { return c >= '0' && c <= '9'; }

bool all_digits(std::string_view text) { return std::all_of(text.begin(), text.end(), is_digit); }

// A field's text as a message shows it: short, without control characters.
std::string shown(std::string_view text)
{
    std::string out(text.substr(0, 40));
    for (char& c : out)
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f)
            c = '?';
    return text.size() > 40 ? out + "..." : out;
}

// The fields of a CSV line, unquoted ("" in quotes is a quote) and without
// the blanks around them. False when a quote is not closed, or text
// follows a closing quote.
bool split_fields(std::string_view line, std::vector<std::string>& fields)
{
    fields.clear();
    size_t at = 0;
    for (;;) {
        std::string field;
        while (at < line.size() && is_blank(line[at]))
            ++at;
        if (at < line.size() && line[at] == '"') {
            for (++at;; ++at) {
                if (at >= line.size())
                    return false;
                if (line[at] == '"' && (at + 1 >= line.size() || line[at + 1] != '"'))
                    break;
                if (line[at] == '"')
                    ++at;  // the first of two
                field += line[at];
            }
            ++at;
            while (at < line.size() && is_blank(line[at]))
                ++at;
            if (at < line.size() && line[at] != ',')
                return false;
        } else {
            const size_t comma = std::min(line.find(',', at), line.size());
            field = trimmed(line.substr(at, comma - at));
            at = comma;
        }
        fields.push_back(std::move(field));
        if (at >= line.size())
            return true;
        ++at;  // the comma
    }
}

// `count` digits at `at` as a number.
bool read_digits(std::string_view text, size_t& at, size_t count, int& value)
{
    if (text.size() < at + count || !all_digits(text.substr(at, count)))
        return false;
    value = 0;
    for (size_t i = 0; i < count; ++i)
        value = value * 10 + (text[at + i] - '0');
    at += count;
    return true;
}

bool read_char(std::string_view text, size_t& at, char c)
{
    if (at >= text.size() || text[at] != c)
        return false;
    ++at;
    return true;
}

// The digits of a fraction of a second, as nanoseconds (those past the
// ninth are passed over).
int64_t fraction_ns(std::string_view digits)
{
    int64_t ns = 0;
    for (size_t i = 0; i < 9; ++i)
        ns = ns * 10 + (i < digits.size() ? digits[i] - '0' : 0);
    return ns;
}

std::optional<int64_t> unix_seconds(std::string_view text)
{
    const size_t dot = text.find('.');
    const std::string_view whole = text.substr(0, dot);
    const std::string_view fraction = dot == std::string_view::npos ? "" : text.substr(dot + 1);
    if (whole.empty() || whole.size() > 10 || !all_digits(whole) || !all_digits(fraction) ||
        (dot != std::string_view::npos && fraction.empty()))
        return std::nullopt;
    int64_t seconds = 0;
    std::from_chars(whole.data(), whole.data() + whole.size(), seconds);
    if (seconds > latest_seconds)
        return std::nullopt;
    return seconds * one_second_ns + fraction_ns(fraction);
}

// [+-]hh[[:]mm] as seconds east of UTC; Z for none.
bool read_zone(std::string_view text, size_t& at, int& offset)
{
    offset = 0;
    if (at >= text.size())
        return true;
    const char sign = text[at++];
    if (sign == 'Z' || sign == 'z')
        return true;
    int hours = 0;
    int minutes = 0;
    if ((sign != '+' && sign != '-') || !read_digits(text, at, 2, hours))
        return false;
    if (at < text.size()) {
        read_char(text, at, ':');
        if (!read_digits(text, at, 2, minutes))
            return false;
    }
    if (hours > 23 || minutes > 59)
        return false;
    offset = (sign == '-' ? -1 : 1) * (hours * 3600 + minutes * 60);
    return true;
}

std::optional<int64_t> iso_8601(std::string_view text)
{
    size_t at = 0;
    int year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0;
    if (!read_digits(text, at, 4, year) || !read_char(text, at, '-') || !read_digits(text, at, 2, month) ||
        !read_char(text, at, '-') || !read_digits(text, at, 2, day))
        return std::nullopt;
    if (at >= text.size() || (text[at] != 'T' && text[at] != 't' && text[at] != ' '))
        return std::nullopt;
    ++at;
    if (!read_digits(text, at, 2, hour) || !read_char(text, at, ':') || !read_digits(text, at, 2, minute))
        return std::nullopt;
    int64_t ns = 0;
    if (read_char(text, at, ':')) {
        if (!read_digits(text, at, 2, second))
            return std::nullopt;
        if (at < text.size() && (text[at] == '.' || text[at] == ',')) {
            const size_t start = ++at;
            while (at < text.size() && is_digit(text[at]))
                ++at;
            if (at == start)
                return std::nullopt;
            ns = fraction_ns(text.substr(start, at - start));
        }
    }
    int offset = 0;
    if (!read_zone(text, at, offset) || at != text.size() || hour > 23 || minute > 59 || second > 60)
        return std::nullopt;
    const std::chrono::year_month_day date{std::chrono::year(year),
                                           std::chrono::month(static_cast<unsigned>(month)),
                                           std::chrono::day(static_cast<unsigned>(day))};
    if (!date.ok())
        return std::nullopt;
    const int64_t days = std::chrono::sys_days(date).time_since_epoch().count();
    const int64_t seconds = days * 86400 + hour * 3600 + minute * 60 + second - offset;
    if (seconds < 0 || seconds > latest_seconds)
        return std::nullopt;
    return seconds * one_second_ns + ns;
}

std::optional<int32_t> parse_vcpus(const std::string& text)
{
    int32_t value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (text.empty() || error != std::errc() || end != text.data() + text.size() || value < 1 ||
        value > most_vcpus)
        return std::nullopt;
    return value;
}

std::optional<double> parse_percent(const std::string& text)
{
    // strtod alone would take "nan", "inf", hex and leading blanks.
    if (text.empty() || text.find_first_not_of("0123456789.eE+-") != std::string::npos)
        return std::nullopt;
    char* end = nullptr;
    const double value = std::strtod(text.c_str(), &end);
    if (end != text.c_str() + text.size() || !std::isfinite(value))
        return std::nullopt;
    return value;
}

bool is_vm_name(std::string_view name)
{
    return !name.empty() && std::none_of(name.begin(), name.end(), [](char c) {
        return static_cast<unsigned char>(c) < 0x20 || c == 0x7f;
    });
}

}  // namespace

std::optional<int64_t> parse_sample_time(std::string_view text)
{
    if (const std::optional<int64_t> seconds = unix_seconds(text))
        return seconds;
    return iso_8601(text);
}

bool is_csv_header(std::string_view first_line)
{
    if (first_line.find(',') == std::string_view::npos)
        return false;
    const std::string_view word = first_line.substr(0, first_line.find(' '));
    return std::none_of(record_kinds.begin(), record_kinds.end(),
                        [word](const FieldName<RecordKind>& kind) { return kind.name == word; });
}

SampleRows::SampleRows(std::span<const SampleFile> files, Report report)
    : files_(files), report_(std::move(report))
{}

std::string SampleRows::where() const { return fmt::format("{}:{}", files_[file_].name, line_); }

void SampleRows::say(uint64_t line, const std::string& text) const
{
    if (report_)
        report_(fmt::format("{}:{}: {}", files_[file_].name, line, text));
}

bool SampleRows::next_line(std::string_view& line)
{
    if (rest_.empty())
        return false;
    const size_t end = std::min(rest_.find('\n'), rest_.size());
    line = rest_.substr(0, end);
    rest_.remove_prefix(std::min(end + 1, rest_.size()));
    if (!line.empty() && line.back() == '\r')
        line.remove_suffix(1);
    ++line_;
    return true;
}

void SampleRows::start_file()
{
    in_file_ = true;
    rest_ = files_[file_].bytes;
    if (rest_.substr(0, 3) == "\xEF\xBB\xBF")
        rest_.remove_prefix(3);
    line_ = 0;
    header_read_ = header_ok_ = any_row_ = false;
    std::fill(std::begin(shown_), std::end(shown_), 0);
}

void SampleRows::end_file()
{
    if (!header_read_) {
        ++skipped_;
        say(1, "empty file; skipped");
    } else if (header_ok_ && !any_row_) {
        say(line_, "no rows after the header");
    }
    for (size_t fault = 0; fault < fault_kinds; ++fault)
        if (shown_[fault] > most_messages)
            say(line_, fmt::format("{} more rows skipped for {}, the first on line {}",
                                   shown_[fault] - most_messages, fault_rows[fault], first_line_[fault]));
    in_file_ = false;
    ++file_;
}

void SampleRows::read_header(std::string_view line)
{
    header_read_ = true;
    ++skipped_;  // until the header proves good
    std::vector<std::string> names;
    if (!split_fields(line, names)) {
        say(line_, "the header's quote is not closed; file skipped");
        return;
    }
    constexpr size_t none = SIZE_MAX;
    size_t* const columns[] = {&time_column_, &vm_column_, &vcpus_column_, &percent_column_};
    for (size_t* column : columns)
        *column = none;
    for (size_t i = 0; i < names.size(); ++i) {
        std::string name = names[i];
        std::transform(name.begin(), name.end(), name.begin(),
                       [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; });
        const auto known = std::find(std::begin(column_names), std::end(column_names), name);
        if (known == std::end(column_names)) {
            say(line_, fmt::format("column '{}' is unknown; passed over", shown(names[i])));
            continue;
        }
        size_t& column = *columns[known - std::begin(column_names)];
        if (column != none) {
            say(line_, fmt::format("column '{}' is named twice; file skipped", name));
            return;
        }
        column = i;
    }
    for (size_t i = 0; i < std::size(columns); ++i)
        if (*columns[i] == none) {
            say(line_, fmt::format("the header names no column '{}' (it needs time, vm, vcpus and "
                                   "cpu_percent); file skipped",
                                   column_names[i]));
            return;
        }
    column_count_ = names.size();
    header_ok_ = true;
    --skipped_;
}

bool SampleRows::skip(Fault fault, const std::string& why)
{
    ++skipped_;
    if (shown_[fault]++ < most_messages)
        say(line_, why + "; row skipped");
    else if (shown_[fault] == most_messages + 1)
        first_line_[fault] = line_;
    return false;
}

bool SampleRows::take_row(std::string_view line)
{
    any_row_ = true;
    if (!split_fields(line, fields_))
        return skip(unreadable, "a quote is not closed");
    if (fields_.size() != column_count_)
        return skip(columns,
                    fmt::format("{} columns where the header has {}", fields_.size(), column_count_));
    const std::string& time = fields_[time_column_];
    const std::string& vm = fields_[vm_column_];
    const std::optional<int64_t> when = parse_sample_time(time);
    if (!when)
        return skip(unreadable, fmt::format("time '{}' is neither Unix seconds nor ISO 8601", shown(time)));
    if (!is_vm_name(vm))
        return skip(unreadable, "the VM's name is empty or holds control characters");
    const std::optional<int32_t> vcpus = parse_vcpus(fields_[vcpus_column_]);
    if (!vcpus)
        return skip(unreadable, fmt::format("vcpus '{}' is not a whole number from 1 to {}",
                                            shown(fields_[vcpus_column_]), most_vcpus));
    const std::optional<double> percent = parse_percent(fields_[percent_column_]);
    if (!percent)
        return skip(unreadable,
                    fmt::format("cpu_percent '{}' is not a number", shown(fields_[percent_column_])));
    if (*percent < 0.0 || *percent > 100.0 * *vcpus)
        return skip(out_of_range,
                    fmt::format("cpu_percent {} lies outside 0..{}, 100 x vcpus", *percent, 100 * *vcpus));
    if (last_time_ns_ && *when < *last_time_ns_)
        return skip(time_back, fmt::format("time goes back by {:.10g} s",
                                           static_cast<double>(*last_time_ns_ - *when) / one_second_ns));
    if (!last_time_ns_ || *when > *last_time_ns_) {
        at_last_time_.clear();
        last_time_ns_ = when;
    }
    const auto [seen, added] = at_last_time_.try_emplace(vm, *vcpus);
    if (!added && seen->second != *vcpus)
        return skip(vcpus_changed, fmt::format("VM {} has {} vCPUs in the sample of this time, not {}",
                                               shown(vm), seen->second, *vcpus));
    if (!added)
        return skip(twice, fmt::format("VM {} has a row at this time already", shown(vm)));
    sample_.time_ns = *when;
    sample_.vm = vm;
    sample_.vcpus = *vcpus;
    sample_.percent = *percent;
    return true;
}

const Sample* SampleRows::next()
{
    while (file_ < files_.size()) {
        if (!in_file_)
            start_file();
        std::string_view line;
        if (!next_line(line)) {
            end_file();
            continue;
        }
        if (trimmed(line).empty())
            continue;
        if (!header_read_)
            read_header(line);
        else if (!header_ok_)
            ++skipped_;
        else if (take_row(line))
            return &sample_;
    }
    return nullptr;
}
