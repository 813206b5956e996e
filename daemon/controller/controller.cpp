#include "controller/controller.h"

#include "controller/vm_record.h"
#include "startup/logging.h"
#include "startup/settings.h"

Controller::Controller()
{
    const Settings& s = Settings::instance();
    idle_average = static_cast<double>(s.min_cpu_idle_level + s.max_cpu_idle_level) * 0.5;
    setup_logging();
}

Controller::~Controller() = default;

void Controller::on_vm_list_timer(ev::timer&, int) { vm_list_due = true; }
void Controller::on_tick_timer(ev::timer&, int) {}
