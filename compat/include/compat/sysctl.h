// Linux stand-in for FreeBSD's sysctl interface (<sys/sysctl.h>) and the
// CPU-state indices of <sys/resource.h>.
//
// sysctlbyname serves "kern.cp_time" from /proc/stat and every "hw.vmm.*"
// knob from a file store under $VMMSIM_ROOT/sysctl/ (default
// /var/run/vmmsim). sysctl serves {CTL_KERN, KERN_PROC, KERN_PROC_ARGS, pid}
// for the calling process's own argument area.
#pragma once

#include <stddef.h>

#define CTL_KERN 1
#define KERN_PROC 14
#define KERN_PROC_PGRP 2
#define KERN_PROC_ARGS 7
#define KERN_PROC_PROC 8
#define KERN_PROC_INC_THREAD 0x10

#define CPUSTATES 5
#define CP_USER 0
#define CP_NICE 1
#define CP_SYS 2
#define CP_INTR 3
#define CP_IDLE 4

#ifdef __cplusplus
extern "C" {
#endif

int sysctlbyname(const char* name, void* oldp, size_t* oldlenp, const void* newp, size_t newlen);
int sysctl(const int* name, unsigned int namelen, void* oldp, size_t* oldlenp, const void* newp,
           size_t newlen);

#ifdef __cplusplus
}
#endif
