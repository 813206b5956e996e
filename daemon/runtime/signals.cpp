#include <csignal>

#include "controller/controller.h"
#include "startup/configuration.h"
#include "startup/settings.h"

void Controller::on_signal(ev::sig& watcher, int)
{
    switch (watcher.signum) {
    case SIGINT:
    case SIGTERM: watcher.loop.break_loop(ev::ONE); break;
    case SIGHUP:
        reload_configuration();
        if (after_reload)
            after_reload();
        break;
    default: break;
    }
}
