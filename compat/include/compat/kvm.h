// Linux stand-in for FreeBSD's libkvm (<kvm.h>), reading /proc.
#pragma once

#include <fcntl.h>
#include <limits.h>
#include <sys/types.h>

#include "compat/sysctl.h"
#include "compat/user.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef struct compat_kvm kvm_t;

// With "/dev/null" as core file it always opens; with no core file (kernel
// memory) it opens only for root and otherwise leaves a libkvm-like text in
// errbuf (_POSIX2_LINE_MAX bytes).
kvm_t* kvm_openfiles(const char* execfile, const char* corefile, const char* swapfile, int flags,
                     char* errbuf);
int kvm_close(kvm_t* kd);
// Fills CPUSTATES longs; 0 on success, -1 on failure.
int kvm_getcptime(kvm_t* kd, long* cp_time);
// KERN_PROC_PROC: one entry per process. KERN_PROC_PGRP | KERN_PROC_INC_THREAD
// with a process group id: one entry per thread of every process in it.
// The array belongs to the handle and stays valid until the next call.
// Group queries read the threads live but take the group's members from
// the handle's last process walk, made by the last KERN_PROC_PROC call (or
// the first group query): a handle is meant to live for one short pass.
struct kinfo_proc* kvm_getprocs(kvm_t* kd, int op, int arg, int* cnt);
// NULL-terminated argument vector, owned by the handle until the next call.
char** kvm_getargv(kvm_t* kd, const struct kinfo_proc* p, int nchr);
// The text of the last failure on the handle.
char* kvm_geterr(kvm_t* kd);

#ifdef __cplusplus
}
#endif
