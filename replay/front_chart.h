#pragma once

#include <string>
#include <vector>

#include "replay/suggest.h"

// The chart of a --suggest: host minutes below the floor across, CPU-hours
// held back up, every setting replayed as a faint dot, the front as a line
// of marks with its knee ringed, and the recorded settings and the host
// without halvorn as marks of their own.

// "halvorn-replay --suggest: NAME" for one host's files, or the fleet's
// host names; a long list ends with how many more.
std::string front_chart_title(const std::vector<std::pair<std::string, std::vector<std::string>>>& hosts);

// Writes `png` with gnuplot, whole or not at all; false, with `error`, when
// it could not.
bool draw_front_chart(const Suggestion& suggestion, const std::string& title, const std::string& png,
                      std::string& error);
