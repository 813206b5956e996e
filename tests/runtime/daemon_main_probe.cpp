// daemon_main without main's start-up checks, so that a libvmmapi lacking the
// class entry points reaches the daemon's own capability test.
#include "controller/controller.h"
#include "runtime/daemon_main.h"

int main()
{
    Controller controller;
    return daemon_main(controller);
}
