#include "runtime/status_table.h"

#include <algorithm>
#include <array>
#include <string>
#include <vector>

#include <fmt/format.h>

#include "runtime/utf8_text.h"
#include "startup/log_text.h"

using nlohmann::json;

namespace {

const json& member(const json& object, const char* name)
{
    static const json missing;
    return object.is_object() && object.contains(name) ? object.at(name) : missing;
}

// Control characters in a name would break the table, or drive the terminal.
std::string printable(std::string text)
{
    std::replace_if(text.begin(), text.end(), is_control_character, '?');
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
    std::string class1 = text_of(member(host, "class1_rate_limit"), " %");
    if (const json& would_be = member(host, "dry_run_class1_rate_limit"); would_be.is_number())
        class1 += " (dry run: " + text_of(would_be, " %") + ")";
    std::string class2 = text_of(member(host, "class2_rate_limit"), " %");
    if (const json& would_be = member(host, "dry_run_class2_rate_limit"); would_be.is_number())
        class2 += " (dry run: " + text_of(would_be, " %") + ")";
    if (const json& range = member(host, "class2_regulated"); range.is_array() && range.size() == 2)
        class2 += " (regulated " + text_of(range[0]) + ".." + text_of(range[1]) + ", back to " +
                  text_of(member(host, "class2_start_rate_limit"), " %") + " at stop)";
    std::string line = fmt::format(
        "host idle {} (band {}, moves at or below {}) · class-1 limit {} · class-2 limit {} · burst {} · {} "
        "VM{}",
        text_of(member(host, "idle_average"), " %"), band_text, text_of(member(host, "cpu_idle_level")),
        class1, class2, text_of(member(host, "class1_burst_secs"), " s"), vms, vms == 1 ? "" : "s");
    if (const json& rebuild = member(host, "vm_list_rebuild_s"); rebuild.is_number_integer())
        line += rebuild.get<int64_t>() == 0 ? std::string(" · VM list refresh at the next tick")
                                            : " · VM list refresh in " + text_of(rebuild, " s");
    if (member(status, "dry_run") == true)
        line += " · dry run";
    return line;
}

// Which file the settings come from, and what a dry run cannot see here.
std::string notes(const json& status)
{
    std::string lines;
    if (const json& file = member(status, "config_file"); file.is_string())
        lines +=
            "configuration file: " + (file.get<std::string>().empty() ? "none, defaults" : text_of(file)) +
            "\n";
    if (member(status, "dry_run_saturated") == true)
        lines += "dry run on a saturated host (idle average near 0 %): no vCPU is throttled and a miner that "
                 "cannot run shows little demand, so this dry run under-counts MINERs\n";
    return lines;
}

std::string countdown_cell(const json& vm)
{
    const json& countdown = member(vm, "countdown_s");
    if (!countdown.is_number())
        return "-";
    return fmt::format("{} in {} s", text_of(member(vm, "countdown_to")), text_of(countdown));
}

enum class Align { left, right };  // numbers to the right, words to the left

struct Column {
    const char* heading;
    Align align;
    std::string (*cell)(const json& vm);
};

// The VM table, column by column.
constexpr std::array columns{
    Column{"VM", Align::left, [](const json& vm) { return text_of(member(vm, "name")); }},
    Column{"PID", Align::right, [](const json& vm) { return text_of(member(vm, "pid")); }},
    Column{"CLASS", Align::right, [](const json& vm) { return text_of(member(vm, "class")); }},
    Column{"JUDGED", Align::left,
           [](const json& vm) {
               // Judged, but never moved out of class 1.
               return text_of(member(vm, "kind")) + (member(vm, "exempt") == true ? ", exempt" : "");
           }},
    Column{"LOAD%", Align::right, [](const json& vm) { return text_of(member(vm, "load")); }},
    Column{"VCPUS", Align::right, [](const json& vm) { return text_of(member(vm, "vcpus")); }},
    Column{"COUNTDOWN", Align::left, countdown_cell},
};

using Row = std::array<std::string, columns.size()>;

Row vm_row(const json& vm)
{
    Row row;
    for (size_t i = 0; i < columns.size(); ++i)
        row[i] = columns[i].cell(vm);
    return row;
}

std::string table(const std::vector<Row>& rows)
{
    std::array<size_t, columns.size()> widths{};
    for (const Row& row : rows)
        for (size_t i = 0; i < columns.size(); ++i)
            widths[i] = std::max(widths[i], display_width(row[i]));
    std::string out;
    for (const Row& row : rows) {
        std::string line;
        for (size_t i = 0; i < columns.size(); ++i) {
            const std::string padding(widths[i] - display_width(row[i]), ' ');
            line += (i == 0 ? "" : "  ") +
                    (columns[i].align == Align::right ? padding + row[i] : row[i] + padding);
        }
        line.erase(line.find_last_not_of(' ') + 1);
        out += line + "\n";
    }
    return out;
}

}  // namespace

std::string status_table(const json& status)
{
    std::vector<Row> rows(1);
    for (size_t i = 0; i < columns.size(); ++i)
        rows[0][i] = columns[i].heading;
    const json& vms = member(status, "vms");
    if (vms.is_array())
        for (const json& vm : vms)
            rows.push_back(vm_row(vm));
    return host_line(status) + "\n" + notes(status) + table(rows);
}
