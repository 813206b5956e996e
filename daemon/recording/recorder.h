#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <unordered_map>

#include "controller/controller_observer.h"
#include "recording/gzip_appender.h"
#include "recording/recording.h"
#include "recording/recording_host.h"

struct Settings;

// The daemon's recording of what every tick reads, to the RecordFile of the
// settings. The tick only notes its reads (see RecordingHost); the record is
// formatted, compressed and written after it. A header starts the file, and
// again each reload and each resumption after failed writes; a keyframe
// begins each gzip member, at most a minute apart.
class Recorder final : public ControllerObserver {
public:
    Recorder() = default;
    ~Recorder() override = default;
    Recorder(const Recorder&) = delete;
    Recorder& operator=(const Recorder&) = delete;

    HostAccess& tap(HostAccess& host) override;
    // Writes the tick just run, as its host's reads were noted.
    void after_tick(const ControllerView& view) override;
    // SIGHUP: the file is opened again (RecordFile may name another one)
    // and the settings go into a new header before the next tick.
    void after_reload() override;
    // SIGUSR1: newsyslog has moved the file away; it is opened again before
    // the next tick is written, under a header, and nothing is reloaded.
    void reopen();
    // Failed attempts to open or write the file since start.
    uint64_t write_errors() const { return write_errors_; }
    // A normal stop: finishes the gzip member so the file ends whole.
    void stop();

private:
    struct Identity {
        int32_t group = -1;
        std::string name;
    };
    // Opens the file, or again after a reload, a rotation or a failure.
    bool ensure_open(const std::string& path);
    void write_header(HeaderReason reason, const TickRow& tick, const Settings& settings);
    // VMs whose process was gone carry the group and name last seen.
    void complete_identities(TickRow& tick);
    void write_tick(TickRow& tick, const Settings& settings);
    // At most every flush interval, and after a header.
    void flush_to_file(int64_t clock_ns, bool header);

    GzipAppender file_;
    std::string path_;  // the file open, or last tried
    Recording current_;
    Recording previous_;  // the tick written before, the base of a delta
    std::optional<RecordingHost> noting_;
    HostAccess* host_ = nullptr;
    uint64_t seq_ = 0;
    std::optional<HeaderReason> header_due_ = HeaderReason::start;
    bool reopen_due_ = false;
    bool failing_ = false;        // a failure has been warned about
    int64_t wall_offset_ns_ = 0;  // wall clock less steady clock, as at the last header
    int64_t last_keyframe_ns_ = 0;
    int64_t last_flush_ns_ = 0;
    uint64_t write_errors_ = 0;
    std::string line_;
    std::unordered_map<int32_t, Identity> identities_;  // by pid, as last seen
};
