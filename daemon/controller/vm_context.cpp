#include "controller/vm_context.h"

#include "bindings/vmmapi.h"

VmContext::VmContext(const std::string& name) : ctx(vmmapi_vm_open(name)) {}
VmContext::~VmContext() { if (ctx) vmmapi_vm_close(ctx); }
int VmContext::get_class() const { return -1; }
int VmContext::set_class(int) { return -1; }
uint64_t VmContext::throttle_us(int) const { return 0; }
