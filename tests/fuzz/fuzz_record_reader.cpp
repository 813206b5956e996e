// Bytes as a record file, gzip or plain: the reader never fails hard, every
// row it keeps lies within the arrays, and the controller replays whatever
// ticks it kept.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include <spdlog/spdlog.h>

#include "recording/record_reader.h"
#include "recording_rows.h"
#include "replay/replay_run.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    Recording recording;
    RecordReader reader([](const std::string& message) { require(!message.empty()); });
    reader.read_bytes(std::string_view(reinterpret_cast<const char*>(data), size), "fuzz", recording);
    require_rows_within(recording);
    if (recording.ticks.empty() || recording.ticks.size() > 256)
        return 0;
    const ReplaySettings settings;
    (void)replay(recording, settings, Combination{});
    spdlog::set_level(spdlog::level::off);
    return 0;
}
