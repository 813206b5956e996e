#pragma once

#include <memory>
#include <optional>

#include "recording/recording.h"
#include "replay/replay_host.h"
#include "replay/replay_settings.h"

class Controller;
class ControllerView;

// The daemon's controller over the ticks of a recording, one at a time, in
// simulated time. At each header it takes that header's settings under the
// replay's layers; a daemon started afresh there starts a fresh controller,
// a reload keeps the periods as the daemon does. The VM list is rebuilt
// where the recording rebuilt it.
class ReplayDriver {
public:
    // `log`: the daemon's log lines on standard output.
    ReplayDriver(const Recording& recording, const ReplaySettings& layers, Combination combination, bool log);
    ~ReplayDriver();
    ReplayDriver(const ReplayDriver&) = delete;
    ReplayDriver& operator=(const ReplayDriver&) = delete;

    // Replays the recording's tick `index`; the view shows the controller
    // after it.
    ControllerView tick(size_t index);
    const ReplayHost& host() const { return host_; }
    // The settings of the first header replayed.
    const Settings& first_settings() const { return first_settings_; }
    // This replay's settings while it is not ticking: replays may run side
    // by side in one process, and each brings its own into force for its
    // ticks (see SettingsInForce).
    Settings& settings_aside() { return aside_; }

private:
    void take_header(const TickRow& tick);

    const Recording& recording_;
    const ReplaySettings& layers_;
    const Combination combination_;
    const bool log_;
    ReplayHost host_;
    std::unique_ptr<Controller> controller_;
    std::optional<uint32_t> header_;
    Settings first_settings_;
    Settings aside_;
    bool fresh_ = false;  // a controller that has not yet seen a working tick
};
