#include "controller/controller.h"

void Controller::on_signal(ev::sig&, int) {}
