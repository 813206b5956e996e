#include "bindings/libnv.h"

#include "bindings/shared_object.h"

// libnv exports its API under FreeBSD_-prefixed names.
struct NvLibrary {
    SharedObject library{"libnv.so", "FreeBSD_", ""};
    // One line an entry point; the missing-names report keeps this order.
    nvlist_t* (*create)(int) = library.resolve("nvlist_create");
    void (*destroy)(nvlist_t*) = library.resolve("nvlist_destroy");
    bool (*exists)(const nvlist_t*, const char*) = library.resolve("nvlist_exists");
    void* (*pack)(const nvlist_t*, size_t*) = library.resolve("nvlist_pack");
    nvlist_t* (*unpack)(const void*, size_t, int) = library.resolve("nvlist_unpack");
    void (*add_string)(nvlist_t*, const char*, const char*) = library.resolve("nvlist_add_string");
    void (*add_nvlist)(nvlist_t*, const char*, const nvlist_t*) = library.resolve("nvlist_add_nvlist");
    bool (*get_bool)(const nvlist_t*, const char*) = library.resolve("nvlist_get_bool");
    uint64_t (*get_number)(const nvlist_t*, const char*) = library.resolve("nvlist_get_number");
    const char* (*get_string)(const nvlist_t*, const char*) = library.resolve("nvlist_get_string");
    const nvlist_t* (*get_nvlist)(const nvlist_t*, const char*) = library.resolve("nvlist_get_nvlist");
    const char* (*next)(const nvlist_t*, int*, void**) = library.resolve("nvlist_next");
};

const NvLibrary& nv_library()
{
    static const NvLibrary library;
    return library;
}

std::string nv_load_error() { return nv_library().library.load_error(); }

namespace libnv {

nvlist_t* nvlist_create(int flags)
{
    auto fn = nv_library().create;
    return fn ? fn(flags) : nullptr;
}

void nvlist_destroy(nvlist_t* list)
{
    if (auto fn = nv_library().destroy)
        fn(list);
}

bool nvlist_exists(const nvlist_t* list, const char* name)
{
    auto fn = nv_library().exists;
    return fn ? fn(list, name) : false;
}

void* nvlist_pack(const nvlist_t* list, size_t* size)
{
    auto fn = nv_library().pack;
    return fn ? fn(list, size) : nullptr;
}

nvlist_t* nvlist_unpack(const void* buffer, size_t size, int flags)
{
    auto fn = nv_library().unpack;
    return fn ? fn(buffer, size, flags) : nullptr;
}

void nvlist_add_string(nvlist_t* list, const char* name, const char* value)
{
    if (auto fn = nv_library().add_string)
        fn(list, name, value);
}

void nvlist_add_nvlist(nvlist_t* list, const char* name, const nvlist_t* value)
{
    if (auto fn = nv_library().add_nvlist)
        fn(list, name, value);
}

bool nvlist_get_bool(const nvlist_t* list, const char* name)
{
    auto fn = nv_library().get_bool;
    return fn ? fn(list, name) : false;
}

uint64_t nvlist_get_number(const nvlist_t* list, const char* name)
{
    auto fn = nv_library().get_number;
    return fn ? fn(list, name) : 0;
}

const char* nvlist_get_string(const nvlist_t* list, const char* name)
{
    auto fn = nv_library().get_string;
    return fn ? fn(list, name) : nullptr;
}

const nvlist_t* nvlist_get_nvlist(const nvlist_t* list, const char* name)
{
    auto fn = nv_library().get_nvlist;
    return fn ? fn(list, name) : nullptr;
}

const char* nvlist_next(const nvlist_t* list, int* type, void** cookie)
{
    auto fn = nv_library().next;
    return fn ? fn(list, type, cookie) : nullptr;
}

}  // namespace libnv
