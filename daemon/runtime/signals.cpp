#include <csignal>

#include "controller/controller.h"
#include "controller/controller_observer.h"
#include "startup/configuration.h"
#include "startup/settings.h"

void Controller::on_signal(ev::sig& watcher, int)
{
    switch (watcher.signum) {
    case SIGINT:
    case SIGTERM: watcher.loop.break_loop(ev::ONE); break;
    case SIGHUP:
        reload_configuration();
        // A VM restarted a moment ago is back at the next tick, not at the
        // next VM-list timer.
        vm_list_due = true;
        if (observer != nullptr)
            observer->after_reload();
        break;
    default: break;
    }
}
