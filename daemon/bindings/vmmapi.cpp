#include "bindings/vmmapi.h"

#include <cerrno>

#include "bindings/libnv.h"
#include "bindings/shared_object.h"

struct VmmapiLibrary {
    SharedObject library{"libvmmapi.so", "", "vmmapi_"};
    // One line an entry point; the missing-names report keeps this order.
    vmctx* (*vm_open)(const char*) = library.resolve("vm_open");
    void (*vm_close)(vmctx*) = library.resolve("vm_close");
    int (*vm_ping)(const char*) = library.resolve("vm_ping");
    int (*vm_get_name)(void*, void*, void*) = library.resolve("vm_get_name");
    int (*vm_get_vcpu_class)(vmctx*, int*) = library.resolve("vm_get_vcpu_class");
    int (*vm_set_vcpu_class)(vmctx*, int) = library.resolve("vm_set_vcpu_class");
    uint64_t* (*vm_get_stats)(vcpu*, timeval*, int*) = library.resolve("vm_get_stats");
    const char* (*vm_get_stat_desc)(vmctx*, int) = library.resolve("vm_get_stat_desc");
    int (*vm_checkpoint)(const char*, const char*, int, int) = library.resolve("vm_checkpoint");
    int (*vm_livestream)(const char*, int, int, int, void*, void*) = library.resolve("vm_livestream");
    vcpu* (*vm_vcpu_open)(vmctx*, int) = library.resolve("vm_vcpu_open");
    void (*vm_vcpu_close)(vcpu*) = library.resolve("vm_vcpu_close");
    void* (*vm_get_config)(const char*) = library.resolve("vm_get_config");
    int (*vm_pause)(void*) = library.resolve("vm_pause");
    int (*vm_resume)(void*) = library.resolve("vm_resume");
    int (*vm_reconfig)(void*, nvlist_t*) = library.resolve("vm_reconfig");
};

const VmmapiLibrary& vmmapi_library()
{
    static const VmmapiLibrary library;
    return library;
}

std::string vmmapi_load_error() { return vmmapi_library().library.load_error(); }

vmctx* vmmapi_vm_open(const std::string& name)
{
    auto fn = vmmapi_library().vm_open;
    return fn ? fn(name.c_str()) : nullptr;
}

void vmmapi_vm_close(vmctx* ctx)
{
    if (auto fn = vmmapi_library().vm_close)
        fn(ctx);
}

int vmmapi_vm_ping(const std::string& text)
{
    auto fn = vmmapi_library().vm_ping;
    return fn ? fn(text.c_str()) : -1;
}

int vmmapi_vm_get_name(void* a, void* b, void* c)
{
    auto fn = vmmapi_library().vm_get_name;
    return fn ? fn(a, b, c) : -1;
}

int vmmapi_vm_get_vcpu_class(vmctx* ctx, int* cls)
{
    auto fn = vmmapi_library().vm_get_vcpu_class;
    return fn ? fn(ctx, cls) : -1;
}

int vmmapi_vm_set_vcpu_class(vmctx* ctx, int cls)
{
    auto fn = vmmapi_library().vm_set_vcpu_class;
    return fn ? fn(ctx, cls) : -1;
}

uint64_t* vmmapi_vm_get_stats(vcpu* cpu, timeval* stamp, int* count)
{
    auto fn = vmmapi_library().vm_get_stats;
    return fn ? fn(cpu, stamp, count) : nullptr;
}

const char* vmmapi_vm_get_stat_desc(vmctx* ctx, int index)
{
    auto fn = vmmapi_library().vm_get_stat_desc;
    return fn ? fn(ctx, index) : nullptr;
}

int vmmapi_vm_checkpoint(const std::string& a, const std::string& b)
{
    auto fn = vmmapi_library().vm_checkpoint;
    if (!fn)
        return -1;
    if (fn(a.c_str(), b.c_str(), 1, 0) == 0)
        return 0;
    // A failure that left errno at 0 must not read as success.
    return errno != 0 ? errno : EIO;
}

int vmmapi_vm_livestream(const std::string& text, int a, int b, int c, void* d, void* e)
{
    auto fn = vmmapi_library().vm_livestream;
    if (!fn)
        return -1;
    errno = 0;
    if (fn(text.c_str(), a, b, c, d, e) == 0)
        return 0;
    return errno != 0 ? errno : EIO;
}

vcpu* vmmapi_vm_vcpu_open(vmctx* ctx, int number)
{
    auto fn = vmmapi_library().vm_vcpu_open;
    return fn ? fn(ctx, number) : nullptr;
}

void vmmapi_vm_vcpu_close(vcpu* cpu)
{
    if (auto fn = vmmapi_library().vm_vcpu_close)
        fn(cpu);
}

void* vmmapi_vm_get_config(const std::string& text)
{
    auto fn = vmmapi_library().vm_get_config;
    return fn ? fn(text.c_str()) : nullptr;
}

int vmmapi_vm_pause(void* word)
{
    auto fn = vmmapi_library().vm_pause;
    return fn ? fn(word) : 0;
}

int vmmapi_vm_resume(void* word)
{
    auto fn = vmmapi_library().vm_resume;
    return fn ? fn(word) : 0;
}

int vmmapi_vm_reconfig(void* word, nvlist_t* list)
{
    if (auto fn = vmmapi_library().vm_reconfig)
        return fn(word, list);  // the library owns the list now
    libnv::nvlist_destroy(list);
    return 0;
}

bool vmmapi_is_valid() { return vmmapi_library().vm_close != nullptr; }

bool vmmapi_has_vcpu_class()
{
    const VmmapiLibrary& vm = vmmapi_library();
    return vm.vm_get_vcpu_class != nullptr && vm.vm_set_vcpu_class != nullptr;
}

bool vmmapi_has_checkpoint() { return vmmapi_library().vm_checkpoint != nullptr; }
bool vmmapi_has_livestream() { return vmmapi_library().vm_livestream != nullptr; }
bool vmmapi_has_reconfig() { return vmmapi_library().vm_reconfig != nullptr; }

bool vmmapi_has_pause_resume()
{
    const VmmapiLibrary& vm = vmmapi_library();
    return vm.vm_pause != nullptr && vm.vm_resume != nullptr;
}

uint64_t* vmmapi_vcpu_stats(vmctx* ctx, int number, timeval* stamp, int* count)
{
    const VmmapiLibrary& vm = vmmapi_library();
    if (!vm.vm_vcpu_open || !vm.vm_get_stats || !vm.vm_vcpu_close)
        return nullptr;
    vcpu* cpu = vm.vm_vcpu_open(ctx, number);
    if (cpu == nullptr)
        return nullptr;  // no such vCPU: no counters, outputs untouched
    uint64_t* stats = vm.vm_get_stats(cpu, stamp, count);
    vm.vm_vcpu_close(cpu);
    return stats;
}
