#include "bindings/libnv.h"

#include "bindings/shared_object.h"

// libnv exports its API under FreeBSD_-prefixed names.
struct NvLibrary {
    SharedObject library{"libnv.so"};
    nvlist_t* (*create)(int) = nullptr;
    void (*destroy)(nvlist_t*) = nullptr;
    bool (*exists)(const nvlist_t*, const char*) = nullptr;
    void* (*pack)(const nvlist_t*, size_t*) = nullptr;
    nvlist_t* (*unpack)(const void*, size_t, int) = nullptr;
    void (*add_string)(nvlist_t*, const char*, const char*) = nullptr;
    void (*add_nvlist)(nvlist_t*, const char*, const nvlist_t*) = nullptr;
    bool (*get_bool)(const nvlist_t*, const char*) = nullptr;
    uint64_t (*get_number)(const nvlist_t*, const char*) = nullptr;
    const char* (*get_string)(const nvlist_t*, const char*) = nullptr;
    const nvlist_t* (*get_nvlist)(const nvlist_t*, const char*) = nullptr;
    const char* (*next)(const nvlist_t*, int*, void**) = nullptr;

    NvLibrary()
    {
        library.resolve(create, "FreeBSD_nvlist_create");
        library.resolve(destroy, "FreeBSD_nvlist_destroy");
        library.resolve(exists, "FreeBSD_nvlist_exists");
        library.resolve(pack, "FreeBSD_nvlist_pack");
        library.resolve(unpack, "FreeBSD_nvlist_unpack");
        library.resolve(add_string, "FreeBSD_nvlist_add_string");
        library.resolve(add_nvlist, "FreeBSD_nvlist_add_nvlist");
        library.resolve(get_bool, "FreeBSD_nvlist_get_bool");
        library.resolve(get_number, "FreeBSD_nvlist_get_number");
        library.resolve(get_string, "FreeBSD_nvlist_get_string");
        library.resolve(get_nvlist, "FreeBSD_nvlist_get_nvlist");
        library.resolve(next, "FreeBSD_nvlist_next");
    }
};

const NvLibrary& nv_library()
{
    static const NvLibrary library;
    return library;
}

std::string nv_load_error()
{
    const NvLibrary& nv = nv_library();
    return nv.library.load_error({
        {"nvlist_create", nv.create != nullptr},
        {"nvlist_destroy", nv.destroy != nullptr},
        {"nvlist_exists", nv.exists != nullptr},
        {"nvlist_pack", nv.pack != nullptr},
        {"nvlist_unpack", nv.unpack != nullptr},
        {"nvlist_add_string", nv.add_string != nullptr},
        {"nvlist_add_nvlist", nv.add_nvlist != nullptr},
        {"nvlist_get_bool", nv.get_bool != nullptr},
        {"nvlist_get_number", nv.get_number != nullptr},
        {"nvlist_get_string", nv.get_string != nullptr},
        {"nvlist_get_nvlist", nv.get_nvlist != nullptr},
        {"nvlist_next", nv.next != nullptr},
    });
}

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
