#include "runtime/presenters.h"

#include "controller/controller_view.h"
#include "startup/settings.h"

void Presenters::after_tick(const ControllerView& view)
{
    // Read afresh each tick, so a reload takes effect at the next one.
    metrics_.write(view, view.settings().metrics_file, {recorder_.write_errors()});
    recorder_.after_tick(view);
}

void Presenters::stop()
{
    recorder_.stop();
    metrics_.remove();
}
