#pragma once

#include <string>
#include <vector>

#include "replay/recording_source.h"
#include "replay/replay_settings.h"
#include "replay/suggest.h"

// One host of a fleet and its recording.
struct SuggestHost {
    std::string name;
    RecordingSource recording;
};

// Searches the settings of `dimensions` over every host within `budget`
// replays of each, on all CPUs: the front, the recorded settings and the
// host without halvorn. The recorded settings are the first host's.
Suggestion suggest_settings(const std::vector<SuggestHost>& hosts, const ReplaySettings& layers,
                            const std::vector<SuggestDimension>& dimensions, size_t budget);
