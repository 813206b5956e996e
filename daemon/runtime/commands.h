#pragma once

#include <string>

// Names the VM whose tracked line the controller writes, or stops tracking
// when `argument` is empty. Only a VM in class 1 or 2 can be tracked.
void track(const std::string& argument);

// Sets Settings::log_level and the default logger's level from a level name.
// False for an unknown name, which changes nothing.
bool loglevel(const std::string& name);
