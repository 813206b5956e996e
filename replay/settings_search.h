#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "replay/pareto.h"

// One setting a search varies: the levels it may take, in order (a level's
// neighbours are the levels beside it), and the one to start from.
struct SearchDimension {
    std::string name;
    size_t levels = 1;
    size_t start = 0;
};

// A level for each dimension.
using SearchPoint = std::vector<uint16_t>;

// Replays a batch of points, in parallel as it likes: the figures by index,
// none where a replay failed.
using EvaluateBatch = std::function<std::vector<std::optional<Figures>>(const std::vector<SearchPoint>&)>;

struct SearchResult {
    std::vector<SearchPoint> points;  // every point replayed, with its figures
    std::vector<Figures> figures;
    std::vector<size_t> front;  // indices of the Pareto front, by pareto_front's order
    bool whole_grid = false;    // every point of the grid was replayed
    size_t failed = 0;          // replays that gave no figures
};

// Finds the Pareto front of the grid with at most `budget` replays. A grid
// no larger than the budget is replayed whole. A larger one is searched from
// the start point: first every level of each dimension alone, then, round
// after round, the neighbours of the front found so far (one level up or
// down in one dimension, then two), until no neighbour of the front is left
// unreplayed or the budget is spent.
SearchResult search_settings(std::span<const SearchDimension> dimensions, size_t budget,
                             const EvaluateBatch& evaluate);
