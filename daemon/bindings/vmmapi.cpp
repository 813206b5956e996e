#include "bindings/vmmapi.h"

std::string vmmapi_load_error() { return "dlopen: not built yet"; }
vmctx* vmmapi_vm_open(const std::string&) { return nullptr; }
void vmmapi_vm_close(vmctx*) {}
int vmmapi_vm_get_vcpu_class(vmctx*, int*) { return -1; }
int vmmapi_vm_set_vcpu_class(vmctx*, int) { return -1; }
const char* vmmapi_vm_get_stat_desc(vmctx*, int) { return nullptr; }
bool vmmapi_is_valid() { return false; }
bool vmmapi_has_vcpu_class() { return false; }
uint64_t* vmmapi_vcpu_stats(vmctx*, int, timeval*, int*) { return nullptr; }
