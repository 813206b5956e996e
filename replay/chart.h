#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

#include "recording/recording.h"

class ControllerView;
class ReplayHost;
struct Settings;

// The demo's chart for a replayed run: the daemon's own metrics text after
// each tick, as the demo's sampler keeps it ("SECONDS SAMPLE" lines), drawn
// by the demo's chart.sh. A long replay keeps every tick where something
// moved and enough of the others for a picture: each time the samples kept
// reach a few thousand more, it keeps half as many of the ticks after.
class ReplayChart {
public:
    ReplayChart() = default;
    ~ReplayChart();
    ReplayChart(const ReplayChart&) = delete;
    ReplayChart& operator=(const ReplayChart&) = delete;

    // False, with `error`, when no chart can be drawn here (no gnuplot, no
    // chart scripts, no scratch file).
    bool prepare(std::string& error);
    void after_tick(const TickRow& tick, const ControllerView& view, const ReplayHost& host);
    // Writes `png`; false, with `error`, when chart.sh failed.
    bool draw(const std::string& png, const Settings& settings, const std::string& title, std::string& error);

private:
    std::string script_;
    std::string samples_;
    FILE* out_ = nullptr;
    size_t every_ = 1;  // ticks between samples
    size_t seen_ = 0;
    size_t kept_ = 0;
    int64_t first_wall_ns_ = 0;
    size_t miners_ = 0;
};
