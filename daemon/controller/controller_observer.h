#pragma once

class ControllerView;
class HostAccess;

// What presents the controller's ticks as they happen (the metrics file, the
// recording): it sees each tick's host, then the controller's view after the
// tick, and hears of reloads. It presents; it never decides.
class ControllerObserver {
public:
    virtual ~ControllerObserver() = default;
    // The host the tick runs on: `host` itself or a wrapper around it that
    // notes what the tick reads, valid until the tick ends.
    virtual HostAccess& tap(HostAccess& host) { return host; }
    // After every tick, kernel errors included.
    virtual void after_tick(const ControllerView& view) = 0;
    // After SIGHUP has reloaded the configuration.
    virtual void after_reload() {}
};
