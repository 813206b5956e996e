#pragma once

class HostAccess;

// Sees each tick's host before the tick runs on it; the recorder wraps it
// there to note what the tick reads.
class HostTap {
public:
    virtual ~HostTap() = default;
    // The host this tick runs on: `host` itself or a wrapper around it,
    // valid until the tick ends.
    virtual HostAccess& tap(HostAccess& host) = 0;
};
