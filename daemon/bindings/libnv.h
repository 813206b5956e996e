#pragma once

// Run-time binding of libnv.so (exported as FreeBSD_nvlist_*).

#include <cstddef>
#include <cstdint>
#include <string>

struct nvlist;
typedef struct nvlist nvlist_t;

struct NvLibrary;
const NvLibrary& nv_library();

// Empty when all twelve entry points resolved, else the reason.
std::string nv_load_error();

namespace libnv {
nvlist_t* nvlist_create(int flags);
void nvlist_destroy(nvlist_t* list);
bool nvlist_exists(const nvlist_t* list, const char* name);
void* nvlist_pack(const nvlist_t* list, size_t* size);
nvlist_t* nvlist_unpack(const void* buffer, size_t size, int flags);
void nvlist_add_string(nvlist_t* list, const char* name, const char* value);
void nvlist_add_nvlist(nvlist_t* list, const char* name, const nvlist_t* value);
bool nvlist_get_bool(const nvlist_t* list, const char* name);
uint64_t nvlist_get_number(const nvlist_t* list, const char* name);
const char* nvlist_get_string(const nvlist_t* list, const char* name);
const nvlist_t* nvlist_get_nvlist(const nvlist_t* list, const char* name);
const char* nvlist_next(const nvlist_t* list, int* type, void** cookie);
}  // namespace libnv
