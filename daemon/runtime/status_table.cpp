#include "runtime/status_table.h"

#include <algorithm>
#include <array>
#include <string>
#include <vector>

#include <fmt/format.h>

using nlohmann::json;

namespace {

constexpr size_t column_count = 7;
using Row = std::array<std::string, column_count>;
// Numbers are aligned to the right, words to the left.
constexpr std::array<bool, column_count> right_aligned{false, true, true, false, true, true, false};

const json& member(const json& object, const char* name)
{
    static const json missing;
    return object.is_object() && object.contains(name) ? object.at(name) : missing;
}

// Control characters in a name would break the table, or drive the terminal.
std::string printable(std::string text)
{
    std::replace_if(
        text.begin(), text.end(), [](char c) { return static_cast<unsigned char>(c) < 0x20 || c == 0x7f; },
        '?');
    return text;
}

std::string text_of(const json& value, const char* unit = "")
{
    if (value.is_string())
        return printable(value.get<std::string>());
    if (value.is_number_integer())
        return fmt::format("{}{}", value.get<int64_t>(), unit);
    if (value.is_number())
        return fmt::format("{:.1f}{}", value.get<double>(), unit);
    return "-";
}

std::string host_line(const json& status)
{
    const json& host = member(status, "host");
    const json& band = member(host, "idle_band");
    const std::string band_text =
        band.is_array() && band.size() == 2 ? text_of(band[0]) + ".." + text_of(band[1]) : std::string("-");
    const size_t vms = member(status, "vms").is_array() ? member(status, "vms").size() : 0;
    std::string line = fmt::format(
        "host idle {} (band {}, moves at or below {}) · class-1 limit {} · class-2 limit {} · burst {} · {} "
        "VM{}",
        text_of(member(host, "idle_average"), " %"), band_text, text_of(member(host, "cpu_idle_level")),
        text_of(member(host, "class1_rate_limit"), " %"), text_of(member(host, "class2_rate_limit"), " %"),
        text_of(member(host, "class1_burst_secs"), " s"), vms, vms == 1 ? "" : "s");
    if (member(status, "dry_run") == true)
        line += " · dry run";
    return line;
}

Row vm_row(const json& vm)
{
    const json& countdown = member(vm, "countdown_s");
    const std::string countdown_text =
        countdown.is_number()
            ? fmt::format("{} in {} s", text_of(member(vm, "countdown_to")), text_of(countdown))
            : std::string("-");
    const json& cls = member(vm, "class");
    const json& vcpus = member(vm, "vcpu_loads");
    return {text_of(member(vm, "name")),
            text_of(member(vm, "pid")),
            cls.is_number_integer() && cls.get<int64_t>() >= 0 ? text_of(cls) : std::string("-"),
            text_of(member(vm, "kind")),
            text_of(member(vm, "load")),
            vcpus.is_object() ? std::to_string(vcpus.size()) : std::string("-"),
            countdown_text};
}

// Display width of UTF-8 text, one column a code point.
size_t width(const std::string& text)
{
    return static_cast<size_t>(
        std::count_if(text.begin(), text.end(), [](char c) { return (c & 0xC0) != 0x80; }));
}

std::string table(const std::vector<Row>& rows)
{
    std::array<size_t, column_count> widths{};
    for (const Row& row : rows)
        for (size_t i = 0; i < column_count; ++i)
            widths[i] = std::max(widths[i], width(row[i]));
    std::string out;
    for (const Row& row : rows) {
        std::string line;
        for (size_t i = 0; i < column_count; ++i) {
            const std::string padding(widths[i] - width(row[i]), ' ');
            line += (i == 0 ? "" : "  ") + (right_aligned[i] ? padding + row[i] : row[i] + padding);
        }
        line.erase(line.find_last_not_of(' ') + 1);
        out += line + "\n";
    }
    return out;
}

}  // namespace

std::string status_table(const json& status)
{
    std::vector<Row> rows{{"VM", "PID", "CLASS", "JUDGED", "LOAD%", "VCPUS", "COUNTDOWN"}};
    const json& vms = member(status, "vms");
    if (vms.is_array())
        for (const json& vm : vms)
            rows.push_back(vm_row(vm));
    return host_line(status) + "\n" + table(rows);
}
