#include "replay/front_chart.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>

#include <unistd.h>

#include <fmt/format.h>

#include "io/write_all.h"
#include "replay/child_run.h"

namespace {

// Names a title lists before it counts the rest.
constexpr size_t named_in_title = 3;

// `text` as a gnuplot string in single quotes, on one line.
std::string quoted(const std::string& text)
{
    std::string out = "'";
    for (const char c : text) {
        if (c == '\'')
            out += "''";
        else
            out += c == '\n' || c == '\r' ? ' ' : c;
    }
    return out + "'";
}

std::string block(const std::string& name, const std::vector<Figures>& points)
{
    std::string text = "$" + name + " << EOD\n";
    for (const Figures& p : points)
        text += fmt::format("{:.6g} {:.6g}\n", p.minutes_below_floor, p.cpu_hours_held_back);
    return text + "EOD\n";
}

// An axis from 0 to a little beyond its largest value, or to 1 when that is 0.
std::string range(double largest) { return fmt::format("[0:{:.6g}]", largest > 0.0 ? largest * 1.08 : 1.0); }

std::string script(const Suggestion& suggestion, const std::string& title, const std::string& out)
{
    std::vector<Figures> knee;
    for (const SuggestRow& row : suggestion.front)
        if (row.knee)
            knee.push_back(row.total);
    const std::vector<Figures> marks{suggestion.recorded.total, suggestion.baseline.total};
    double most_minutes = 0.0;
    double most_hours = 0.0;
    for (const std::vector<Figures>* points : {&suggestion.replayed, &suggestion.whole_front, &marks})
        for (const Figures& p : *points) {
            most_minutes = std::max(most_minutes, p.minutes_below_floor);
            most_hours = std::max(most_hours, p.cpu_hours_held_back);
        }
    std::string text = block("replayed", suggestion.replayed) + block("front", suggestion.whole_front) +
                       block("knee", knee) + block("recorded", {suggestion.recorded.total}) +
                       block("baseline", {suggestion.baseline.total});
    text += fmt::format("set terminal pngcairo size 1000,700 font 'DejaVu Sans,11'\n"
                        "set output {}\n"
                        "set termoption noenhanced\n"
                        "set title {} font ',13'\n"
                        "set xlabel {}\n"
                        "set ylabel 'CPU-hours held back from the VMs'\n"
                        "set xrange {}\n"
                        "set yrange {}\n"
                        "set grid back lc rgb 'gray85'\n"
                        "set key outside right top vertical Left reverse\n"
                        "plot $replayed using 1:2 with points pt 7 ps 0.6 lc rgb '#b0b0b0' title 'replayed'",
                        quoted(out), quoted(title),
                        quoted(suggestion.hosts > 1
                                   ? "host minutes below the recorded floor, summed over the hosts"
                                   : "host minutes below the recorded floor"),
                        range(most_minutes), range(most_hours));
    text += ", \\\n  $front using 1:2 with linespoints pt 7 ps 1.1 lw 2 lc rgb '#1f77b4' title 'front'";
    if (!knee.empty())
        text += ", \\\n  $knee using 1:2 with points pt 6 ps 2.6 lw 2 lc rgb '#ff7f0e' title 'knee'";
    text += ", \\\n  $recorded using 1:2 with points pt 5 ps 1.6 lc rgb '#2ca02c' notitle"
            ", \\\n  $recorded using 1:2:('recorded') with labels offset char 1,1 left tc rgb '#2ca02c' "
            "notitle"
            ", \\\n  $baseline using 1:2 with points pt 9 ps 1.8 lc rgb '#d62728' notitle"
            ", \\\n  $baseline using 1:2:('without halvorn') with labels offset char 1,1 left "
            "tc rgb '#d62728' notitle\n";
    return text;
}

}  // namespace

std::string front_chart_title(const std::vector<std::pair<std::string, std::vector<std::string>>>& hosts)
{
    std::vector<std::string> names;
    if (hosts.size() == 1)
        for (const std::string& file : hosts.front().second)
            names.push_back(std::filesystem::path(file).filename().string());
    else
        for (const auto& [name, files] : hosts)
            names.push_back(name);
    std::string listed;
    for (size_t i = 0; i < names.size() && i < named_in_title; ++i)
        listed += (i > 0 ? ", " : "") + names[i];
    if (names.size() > named_in_title)
        listed += fmt::format(" and {} more", names.size() - named_in_title);
    return hosts.size() == 1
               ? "halvorn-replay --suggest: " + listed
               : fmt::format("halvorn-replay --suggest: a fleet of {} hosts ({})", hosts.size(), listed);
}

bool draw_front_chart(const Suggestion& suggestion, const std::string& title, const std::string& png,
                      std::string& error)
{
    std::string path;
    const int fd = chart_scratch_file("halvorn-replay-front", path, error);
    if (fd < 0)
        return false;
    // Drawn beside `png` and put in its place only when whole.
    const std::string drawn = png + ".tmp." + std::to_string(::getpid());
    const std::string text = script(suggestion, title, drawn);
    int write_error = 0;
    bool done = write_all(fd, text, write_error) == text.size();
    if (!done)
        error = std::string("the chart's script could not be written: ") + std::strerror(write_error);
    ::close(fd);
    if (done && run_and_wait({"gnuplot", path}) != 0) {
        error = "gnuplot could not draw " + png;
        done = false;
    }
    std::error_code ignored;
    if (done) {
        std::filesystem::rename(drawn, png, ignored);
        if (ignored) {
            error = png + " cannot be written: " + ignored.message();
            done = false;
        }
    }
    std::filesystem::remove(drawn, ignored);
    std::filesystem::remove(path, ignored);
    return done;
}
