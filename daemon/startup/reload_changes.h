#pragma once

#include "startup/settings.h"

// Warns of what a reload changed in how the daemon acts or what it writes:
// whether it enforces, where it records and publishes, and which file is in
// force. A reload searches the usual places, so it can pick up another file
// than the one named with -c at start, and that must not pass unseen.
void warn_of_reload_changes(const Settings& before, const Settings& after);
