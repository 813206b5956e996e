#pragma once

// Run-time binding of libvmmapi.so. Every operation loads the library on
// first use; a missing library or entry point gives the fixed fallback result.

#include <cstdint>
#include <string>

#include <sys/time.h>

struct vmctx;
struct vcpu;
struct nvlist;
typedef struct nvlist nvlist_t;

struct VmmapiLibrary;
const VmmapiLibrary& vmmapi_library();

// Empty when all sixteen entry points resolved, else the reason.
std::string vmmapi_load_error();

vmctx* vmmapi_vm_open(const std::string& name);
void vmmapi_vm_close(vmctx* ctx);
int vmmapi_vm_ping(const std::string& text);
int vmmapi_vm_get_name(void* a, void* b, void* c);
int vmmapi_vm_get_vcpu_class(vmctx* ctx, int* cls);
int vmmapi_vm_set_vcpu_class(vmctx* ctx, int cls);
uint64_t* vmmapi_vm_get_stats(vcpu* cpu, timeval* stamp, int* count);
const char* vmmapi_vm_get_stat_desc(vmctx* ctx, int index);
// 0 on success, else errno (EIO when the failure left none); -1 when missing.
int vmmapi_vm_checkpoint(const std::string& a, const std::string& b);
int vmmapi_vm_livestream(const std::string& text, int a, int b, int c, void* d, void* e);
vcpu* vmmapi_vm_vcpu_open(vmctx* ctx, int number);
void vmmapi_vm_vcpu_close(vcpu* cpu);
void* vmmapi_vm_get_config(const std::string& text);
int vmmapi_vm_pause(void* word);
int vmmapi_vm_resume(void* word);
// Takes ownership of `list` in every case.
int vmmapi_vm_reconfig(void* word, nvlist_t* list);

bool vmmapi_is_valid();
bool vmmapi_has_vcpu_class();
bool vmmapi_has_checkpoint();
bool vmmapi_has_livestream();
bool vmmapi_has_reconfig();
bool vmmapi_has_pause_resume();
// vCPU counters and their descriptions can be read.
bool vmmapi_has_stats();

// Opens the vCPU, reads its counters, closes it. The array belongs to the
// library. Null (outputs untouched) when an entry point is missing or the
// vCPU does not open.
uint64_t* vmmapi_vcpu_stats(vmctx* ctx, int number, timeval* stamp, int* count);
