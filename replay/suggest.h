#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "replay/pareto.h"
#include "replay/replay_settings.h"
#include "replay/settings_search.h"

// What --suggest varies: one dimension per setting, each level a set of key
// values (the idle band is one dimension of two keys, so that its floor and
// ceiling keep their distance).
struct SuggestDimension {
    std::string name;
    std::vector<Combination> levels;
    size_t start = 0;  // the level nearest the recorded settings
};

// The settings that decide who moves and how the limit steps, over levels
// that halvorn.config(5) allows, each starting nearest `recorded`.
std::vector<SuggestDimension> suggest_dimensions(const Settings& recorded);

// Narrows the dimensions by "SECTION.Key=LO..HI" (the levels within, and
// both ends) or "SECTION.Key=V1,V2,..." (exactly those). A key of the band
// narrows the band's levels; a key the search does not vary becomes a
// dimension of its own. Empty, or what is wrong with the argument.
std::string narrow_dimensions(std::vector<SuggestDimension>& dimensions, std::string_view argument,
                              const Settings& recorded);

std::vector<SearchDimension> search_shape(const std::vector<SuggestDimension>& dimensions);
Combination combination_at(const std::vector<SuggestDimension>& dimensions, const SearchPoint& point);

// One host's figures for one setting.
struct HostFigures {
    std::string host;
    Figures figures;
    std::vector<std::string> moved;  // the VMs moved, by name
};

// One setting over every host: the fleet's totals and the worst host.
struct SuggestRow {
    std::string settings;  // describe(combination), or what the row is
    Combination values;    // the keys it sets; none for the recorded settings
    Figures total;
    std::string worst_host;  // most minutes below its floor
    double worst_minutes = 0.0;
    std::vector<std::string> moved;  // "host:vm" on a fleet, "vm" on one host
    bool knee = false;
};

SuggestRow suggest_row(std::string settings, const std::vector<HostFigures>& hosts);

// What --suggest prints: the front (fewest minutes below the floor first),
// then where the recorded settings stand against it and the host without
// halvorn.
struct Suggestion {
    std::vector<SuggestRow> front;
    SuggestRow recorded;
    SuggestRow baseline;
    size_t replays = 0;
    bool whole_grid = false;
    size_t hosts = 1;
    // For the chart: every setting replayed, and the whole front in its
    // order, of which `front` shows at most ten.
    std::vector<Figures> replayed;
    std::vector<Figures> whole_front;
};

// "on the front", or the front rows that do better in both costs.
std::string recorded_place(const Suggestion& suggestion);
std::string suggestion_table(const Suggestion& suggestion);
std::string suggestion_json(const Suggestion& suggestion);
