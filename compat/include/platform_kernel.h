// The one place that knows whether the FreeBSD kernel interfaces are real.
// Everything in daemon/ and plugin/ includes this header instead of the
// FreeBSD system headers directly.
#pragma once

#if defined(__FreeBSD__)
#include <sys/param.h>
#include <sys/types.h>
#include <sys/resource.h>
#include <sys/rtprio.h>
#include <sys/sysctl.h>
#include <sys/user.h>
#include <fcntl.h>
#include <kvm.h>
#include <limits.h>
#else
#include "compat/kvm.h"
#include "compat/rtprio.h"
#include "compat/sysctl.h"
#include "compat/user.h"
#endif
