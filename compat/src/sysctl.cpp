#include "platform_kernel.h"
