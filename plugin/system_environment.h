#pragma once

#include "check.h"

// The environment of a real run: the kernel's sysctl, a real sleep, stdout.
CheckEnvironment system_environment();
