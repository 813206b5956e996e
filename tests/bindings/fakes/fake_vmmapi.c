/* A stand-in libvmmapi for the binding's tests. Each entry point can be left
 * out with -DWITHOUT_<name>, so variants exercise the load check and the
 * fallbacks. Results are chosen so a test can tell which arguments arrived. */
#include <errno.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/time.h>

struct vmctx {
    int vcpu_class;
};
struct vcpu {
    int number;
};
struct nvlist;

/* Test hooks, read through dlsym. */
int fake_vmmapi_open_vcpus = 0;
int fake_vmmapi_vcpus_opened = 0;
struct nvlist* fake_vmmapi_reconfig_list = NULL;
int fake_vmmapi_stats_count = 3;    /* counters vm_get_stats reports */
int fake_vmmapi_described = 3;      /* descriptions vm_get_stat_desc serves */
char fake_vmmapi_opened[4096] = ""; /* every name vm_open was given, one a line */

#ifndef WITHOUT_vm_open
struct vmctx* vm_open(const char* name)
{
    if (name != NULL) {
        size_t used = strlen(fake_vmmapi_opened);
        snprintf(fake_vmmapi_opened + used, sizeof fake_vmmapi_opened - used, "%s\n", name);
    }
    if (name == NULL || name[0] == '\0' || strcmp(name, "absent") == 0)
        return NULL;
    struct vmctx* ctx = calloc(1, sizeof *ctx);
    if (ctx != NULL)
        ctx->vcpu_class = 1;
    return ctx;
}
#endif

#ifndef WITHOUT_vm_close
void vm_close(struct vmctx* ctx) { free(ctx); }
#endif

#ifndef WITHOUT_vm_ping
int vm_ping(const char* text) { return (int)strlen(text); }
#endif

#ifndef WITHOUT_vm_get_name
int vm_get_name(void* a, void* b, void* c)
{
    return (int)((intptr_t)a * 100 + (intptr_t)b * 10 + (intptr_t)c);
}
#endif

#ifndef WITHOUT_vm_get_vcpu_class
int vm_get_vcpu_class(struct vmctx* ctx, int* cls)
{
    *cls = ctx->vcpu_class;
    return 0;
}
#endif

#ifndef WITHOUT_vm_set_vcpu_class
int vm_set_vcpu_class(struct vmctx* ctx, int cls)
{
    if (cls < 0 || cls > 9) {
        errno = EINVAL;
        return -1;
    }
    ctx->vcpu_class = cls;
    return 0;
}
#endif

#ifndef WITHOUT_vm_get_stats
uint64_t* vm_get_stats(struct vcpu* cpu, struct timeval* stamp, int* count)
{
    static uint64_t counters[3];
    for (int i = 0; i < 3; ++i)
        counters[i] = (uint64_t)(cpu->number * 10 + i);
    stamp->tv_sec = 1234;
    stamp->tv_usec = 5;
    *count = fake_vmmapi_stats_count;
    return counters;
}
#endif

#ifndef WITHOUT_vm_get_stat_desc
const char* vm_get_stat_desc(struct vmctx* ctx, int index)
{
    static const char* const descriptions[] = {
        "number of times in/out of guest",
        "sleeps in ms due to vcpu limit throttle",
        "vcpu total runtime",
    };
    (void)ctx;
    return index >= 0 && index < 3 && index < fake_vmmapi_described ? descriptions[index] : NULL;
}
#endif

/* "ok" succeeds, "busy" fails with EBUSY, "silent" fails leaving errno. */
static inline int outcome(const char* vm)
{
    if (strcmp(vm, "ok") == 0)
        return 0;
    if (strcmp(vm, "busy") == 0)
        errno = EBUSY;
    return -1;
}

#ifndef WITHOUT_vm_checkpoint
int vm_checkpoint(const char* vm, const char* file, int a, int b)
{
    if (strcmp(file, "snapshot") != 0 || a != 1 || b != 0) {
        errno = EINVAL;
        return -1;
    }
    return outcome(vm);
}
#endif

#ifndef WITHOUT_vm_livestream
int vm_livestream(const char* vm, int a, int b, int c, void* d, void* e)
{
    if (a != 1 || b != 2 || c != 3 || d != (void*)4 || e != (void*)5) {
        errno = EINVAL;
        return -1;
    }
    return outcome(vm);
}
#endif

#ifndef WITHOUT_vm_vcpu_open
struct vcpu* vm_vcpu_open(struct vmctx* ctx, int number)
{
    (void)ctx;
    if (number < 0 || number >= 4)
        return NULL;
    struct vcpu* cpu = malloc(sizeof *cpu);
    if (cpu == NULL)
        return NULL;
    cpu->number = number;
    ++fake_vmmapi_open_vcpus;
    ++fake_vmmapi_vcpus_opened;
    return cpu;
}
#endif

#ifndef WITHOUT_vm_vcpu_close
void vm_vcpu_close(struct vcpu* cpu)
{
    free(cpu);
    --fake_vmmapi_open_vcpus;
}
#endif

#ifndef WITHOUT_vm_get_config
void* vm_get_config(const char* key)
{
    static char value[] = "vm1";
    return strcmp(key, "name") == 0 ? value : NULL;
}
#endif

#ifndef WITHOUT_vm_pause
int vm_pause(void* word) { return (int)(intptr_t)word + 10; }
#endif

#ifndef WITHOUT_vm_resume
int vm_resume(void* word) { return (int)(intptr_t)word + 20; }
#endif

#ifndef WITHOUT_vm_reconfig
int vm_reconfig(void* word, struct nvlist* list)
{
    fake_vmmapi_reconfig_list = list;
    return (int)(intptr_t)word + 30;
}
#endif
