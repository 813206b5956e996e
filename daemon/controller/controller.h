#pragma once

#include <chrono>
#include <optional>

#include <ev++.h>

#include "controller/class2_regulation.h"
#include "controller/controller_tally.h"
#include "controller/host_knobs.h"
#include "controller/vm_registry.h"
#include "host/kvm_reader.h"

class HostAccess;
class ControllerObserver;
struct Settings;

// The daemon's controller: host idle average, rate-limit regulation (class 1,
// and class 2 when asked), VM registry and judgement. Lent to the daemon's watchers as their data.
class Controller {
public:
    Controller();  // ends with setup_logging()
    ~Controller();
    Controller(const Controller&) = delete;
    Controller& operator=(const Controller&) = delete;

    // SIGHUP reloads the configuration, SIGINT / SIGTERM break the loop.
    void on_signal(ev::sig& watcher, int revents);  // defined in runtime/signals.cpp
    void on_vm_list_timer(ev::timer& watcher, int revents);
    // Runs one tick on a fresh kernel reader with the timer stopped.
    void on_tick_timer(ev::timer& watcher, int revents);

    // The tick's work once the kernel reader is open (or its error logged):
    // registry refresh when due, then tick(), then the observer's after_tick.
    void run_tick(HostAccess& host);
    // Averages the idle share, regulates, evaluates every VM in pid order.
    void tick(HostAccess& host);
    // At most one step of the class-1 or the class-2 rate limit; resets the
    // average after it.
    void regulate(HostAccess& host);  // defined in regulate.cpp
    // Puts the class-2 limit back to where it was found, when this
    // controller changed it; the daemon calls it when it stops.
    void put_back_class2_limit(HostAccess& host);  // defined in regulate.cpp

    bool vm_list_due = true;
    // When the VM-list timer last fired (steady clock); its start at first.
    std::chrono::steady_clock::time_point vm_list_timer_fired = std::chrono::steady_clock::now();
    VmRegistry vms;
    CpuTimes previous;
    double idle_average = 0.0;

    ControllerTally tally;
    HostKnobs knobs;
    int64_t last_tick_time = 0;  // host clock of the last tick
    // Host idle share over the last tick, percent; none when its sample failed.
    std::optional<double> last_idle_share;
    // Wall-clock Unix time at which the last tick, kernel errors included, ended.
    double last_tick_unix_seconds = 0.0;
    const std::chrono::steady_clock::time_point started = std::chrono::steady_clock::now();
    // The class-1 limit a dry run last said it would set.
    std::optional<int> dry_run_rate_limit;
    Class2Regulation class2;
    // Presents every tick and hears of reloads; none when nothing does.
    ControllerObserver* observer = nullptr;
    // Each tick's CPU time and end on the wall clock are taken for the
    // presenters; a replay, whose ticks are not this host's, goes without
    // their clock reads.
    bool timed = true;

private:
    // Evaluates one VM and adds the moves it made to the tally.
    bool evaluate_counted(VmRecord& vm, HostAccess& host);
    // Reads the class knobs into `knobs` after the tick. Nothing decides on
    // them: they are read for the presenters (status, metrics) and, through
    // the recording's host, for the replay's model.
    void read_knobs(HostAccess& host);

    // Notes the class-2 limit first found, logs where its regulation starts,
    // changes or ends, and puts the limit back when it ends. The range in
    // force; none while not regulated.
    std::optional<Class2Bounds> follow_class2_settings(HostAccess& host, const Settings& settings);

    bool class1_written_ = false;  // regulate() wrote the class-1 limit this tick
    bool class2_written_ = false;  // and the class-2 limit
};
