// The libkvm handle type alone, for headers that hold a handle: the whole
// kernel interface (platform_kernel.h) pulls in <sys/user.h> and with it
// <sys/event.h>, whose EV_* macros break libev's headers in any file that
// includes both.
#pragma once

#if defined(__FreeBSD__)
typedef struct __kvm kvm_t;  // as <kvm.h> declares it
#else
typedef struct compat_kvm kvm_t;  // as compat/kvm.h declares it
#endif
