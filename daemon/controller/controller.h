#pragma once

#include <map>
#include <memory>

#include <ev++.h>

#include "host/kvm_reader.h"

struct VmRecord;

// The daemon's controller: host idle average, class-1 rate-limit regulation,
// VM registry and judgement. Lent to the daemon's watchers as their data.
class Controller {
public:
    Controller();  // ends with setup_logging()
    ~Controller();
    Controller(const Controller&) = delete;
    Controller& operator=(const Controller&) = delete;

    // SIGHUP reloads the configuration, SIGINT / SIGTERM break the loop.
    void on_signal(ev::sig& watcher, int revents);
    void on_vm_list_timer(ev::timer& watcher, int revents);
    void on_tick_timer(ev::timer& watcher, int revents);

    bool vm_list_due = true;
    std::map<int, std::unique_ptr<VmRecord>> vms;
    CpuTimes previous;
    double idle_average = 0.0;
};
