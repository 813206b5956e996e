#include "runtime/daemon_main.h"

#include <csignal>
#include <cstdio>
#include <stdexcept>
#include <string>

#include <ev++.h>
#include <fmt/format.h>
#include <spdlog/spdlog.h>

#include "controller/controller.h"
#include "controller/controller_view.h"
#include "controller/kvm_host.h"
#include "host/process_title.h"
#include "bindings/vmmapi.h"
#include "runtime/driver.h"
#include "runtime/reply_path.h"
#include "runtime/instances.h"
#include "runtime/loop_guard.h"
#include "runtime/presenters.h"
#include "runtime/priority.h"
#include "runtime/status.h"
#include "startup/identity.h"
#include "startup/settings.h"

namespace {

void log_banners()
{
    const Settings& settings = Settings::instance();
    spdlog::info("***** {} started", program_description());
    spdlog::info("***** App version: {}", program_version());
    spdlog::info("***** OS  version: {}", build_os_version());
    spdlog::info("Configuration file: '{}'",
                 settings.config_file.empty() ? std::string("not found") : settings.config_file.string());
    if (settings.dry_run)
        spdlog::info("***** Dry run: no rate limit or class is changed");
}

template <void (Controller::*member)(ev::sig&, int)>
void start_signal(ev::sig& watcher, Controller& controller, int signum)
{
    watcher.set<guarded<Controller, ev::sig, member>>(&controller);
    watcher.start(signum);
}

// SIGUSR1 only reopens the recording, as newsyslog asks after moving it:
// a rotation must not reload, which could swap the file named with -c for
// another and end a dry run.
struct RecordRotation {
    Presenters& presenters;
    void on_signal(ev::sig&, int) { presenters.reopen_recording(); }
};

template <void (Controller::*member)(ev::timer&, int)>
void start_timer(ev::timer& watcher, Controller& controller, double seconds)
{
    watcher.set<guarded<Controller, ev::timer, member>>(&controller);
    watcher.start(seconds, seconds);
}

// The daemon's life from the capability test to the stop; errors propagate.
int run_daemon(Controller& controller)
{
    if (!vmmapi_is_valid() || !vmmapi_has_vcpu_class())
        throw "### libvmmapi is not valid. Not supported 'vcpu_class'";

    raise_priority();

    ev::default_loop loop(0);  // throws ev::bad_loop with its own text
    const Settings& settings = Settings::instance();

    ev::sig hangup(loop);
    ev::sig interrupt(loop);
    ev::sig terminate(loop);
    start_signal<&Controller::on_signal>(hangup, controller, SIGHUP);
    start_signal<&Controller::on_signal>(interrupt, controller, SIGINT);
    start_signal<&Controller::on_signal>(terminate, controller, SIGTERM);

    Presenters presenters;
    controller.observer = &presenters;
    RecordRotation rotation{presenters};
    ev::sig rotate(loop);
    rotate.set<guarded<RecordRotation, ev::sig, &RecordRotation::on_signal>>(&rotation);
    rotate.start(SIGUSR1);

    // The configuration's bounds keep the period at one minute or more.
    const double vm_list_seconds = static_cast<double>(settings.update_vm_list) * 60.0;
    const double tick_seconds = static_cast<double>(settings.update_time) / 1000.0;
    ev::timer vm_list(loop);
    ev::timer tick(loop);
    start_timer<&Controller::on_vm_list_timer>(vm_list, controller, vm_list_seconds);
    start_timer<&Controller::on_tick_timer>(tick, controller, tick_seconds);

    Driver server;
    server.attach(loop);
    server.handler = Driver::exec([&controller] { return status_reply(ControllerView(controller)); });
    const std::string path = fifo_path(program_name(), false);
    // Without its command channel the daemon does not run: a path that is
    // not a FIFO would otherwise be polled as forever readable.
    if (!server.fifo_open(path)) {
        throw std::runtime_error(fmt::format("Fifo error [{}]: {}", path, server.failed_end().error_text()));
    }

    run_guarded(loop);

    {
        // The class-2 limit is the operator's setting: what the regulator
        // lent class 2 goes back. (A daemon that dies leaves it.)
        const KvmReader reader;
        KvmHost host(reader);
        controller.put_back_class2_limit(host);
    }
    server.fifo_close();
    tick.stop();
    controller.observer = nullptr;
    presenters.stop();
    rotate.stop();
    vm_list.stop();
    terminate.stop();
    interrupt.stop();
    hangup.stop();
    spdlog::info("## {} stopped", program_description());
    return 0;
}

}  // namespace

int daemon_main(Controller& controller)
{
    const Settings& settings = Settings::instance();
    const std::string command = settings.command;
    const std::string argument = settings.command_arg;
    if (!command.empty())
        return Driver::fifo_send(command, argument);

    // A console whose reader has gone must not end the daemon: its VMs would
    // be left in whatever class they were, its pipe behind. Failed writes are
    // then errors that the sinks and Fifo::write pass over.
    std::signal(SIGPIPE, SIG_IGN);
    try {
        const RunningInstances running = find_running_instances();
        if (running.daemon != 0) {
            const std::string line =
                program_description() + " is already running, pid=" + std::to_string(running.daemon);
            std::puts(line.c_str());
            spdlog::info("{}", line);
            return 0;
        }

        set_process_arguments(daemon_title());
        log_banners();
        return run_daemon(controller);
    } catch (const char* text) {
        spdlog::error("{}", text);
    } catch (const std::string& text) {
        spdlog::error("{}", text);
    } catch (const std::exception& error) {
        spdlog::error("{}", error.what());
    } catch (...) {
        spdlog::error("Unexpected unknown error");
    }
    spdlog::info("## {} stopped", program_description());
    return 1;
}
