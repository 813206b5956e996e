#pragma once

#include "controller/controller_observer.h"
#include "recording/recorder.h"
#include "runtime/metrics_file.h"

// The daemon's presenters of every tick: the metrics file and the recording,
// each as the settings in force ask for it.
class Presenters final : public ControllerObserver {
public:
    HostAccess& tap(HostAccess& host) override { return recorder_.tap(host); }
    void after_tick(const ControllerView& view) override;
    void after_reload() override { recorder_.after_reload(); }
    // SIGUSR1, after newsyslog moved the recording away.
    void reopen_recording() { recorder_.reopen(); }
    // A normal stop: the recording ends whole and the metrics file goes, its
    // last values would otherwise pass for a running daemon's.
    void stop();

private:
    MetricsFile metrics_;
    Recorder recorder_;
};
