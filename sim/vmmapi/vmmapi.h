/* The simulated host's libvmmapi: the sixteen entry points the daemon binds,
 * with the C signatures it calls them by. Tools and tests include this only
 * for the types; they reach the library through dlopen like the daemon. */
#pragma once

#include <stdint.h>
#include <sys/time.h>

#ifdef __cplusplus
extern "C" {
#endif

struct vmctx;
struct vcpu;
struct nvlist;
typedef struct nvlist nvlist_t;

/* Null (errno set) unless the named VM runs. */
struct vmctx* vm_open(const char* name);
void vm_close(struct vmctx* ctx);
/* 0 when the named VM runs, else -1 with errno ENOENT. */
int vm_ping(const char* name);
/* (struct vmctx *, char *buffer, size_t *buffer size): copies the VM name. */
int vm_get_name(void* ctx, void* buffer, void* size);
int vm_get_vcpu_class(struct vmctx* ctx, int* vcpu_class);
int vm_set_vcpu_class(struct vmctx* ctx, int vcpu_class);
/* The array belongs to the library: it stays readable, also after
 * vm_vcpu_close, until this thread's next call. */
uint64_t* vm_get_stats(struct vcpu* vcpu, struct timeval* stamp, int* count);
const char* vm_get_stat_desc(struct vmctx* ctx, int index);
/* The simulator cannot save or stream guest memory: -1 with EOPNOTSUPP for a
 * running VM, ENOENT for an unknown one. */
int vm_checkpoint(const char* name, const char* file, int stop, int flags);
int vm_livestream(const char* name, int a, int b, int c, void* d, void* e);
struct vcpu* vm_vcpu_open(struct vmctx* ctx, int number);
void vm_vcpu_close(struct vcpu* vcpu);
/* Simulator settings by key: "vmmsim.root", "vmmsim.version". */
void* vm_get_config(const char* key);
/* (struct vmctx *): a paused VM's vCPUs neither run nor count throttling. */
int vm_pause(void* ctx);
int vm_resume(void* ctx);
/* (struct vmctx *, list): applies the string entries "class" (0..9) and
 * "demand" (0..100, every vCPU). Always consumes the list. */
int vm_reconfig(void* ctx, nvlist_t* list);

#ifdef __cplusplus
}
#endif
