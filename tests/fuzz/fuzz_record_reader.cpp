// Bytes as a record file, gzip or plain: the reader never fails hard, every
// row it keeps lies within the arrays, and the controller replays whatever
// ticks it kept.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include <spdlog/spdlog.h>

#include "recording/record_reader.h"
#include "replay/replay_run.h"

namespace {

void require(bool holds)
{
    if (!holds)
        std::abort();
}

void check_rows(const Recording& recording)
{
    for (const TickRow& tick : recording.ticks) {
        require(tick.header < recording.headers.size());
        require(tick.first_vm + tick.vm_count <= recording.vms.size());
        require(tick.first_process + tick.process_count <= recording.processes.size());
        for (const VmRow& vm : recording.vms_of(tick))
            require(vm.first_vcpu + vm.vcpu_count <= recording.vcpus.size());
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    Recording recording;
    RecordReader reader([](const std::string& message) { require(!message.empty()); });
    reader.read_bytes(std::string_view(reinterpret_cast<const char*>(data), size), "fuzz", recording);
    check_rows(recording);
    if (recording.ticks.empty() || recording.ticks.size() > 256)
        return 0;
    const ReplaySettings settings;
    (void)replay(recording, settings, Combination{});
    spdlog::set_level(spdlog::level::off);
    return 0;
}
