/* A small libnv: name/value lists exported under FreeBSD's prefixed symbol
 * names, enough for the daemon's binding and for vm_reconfig. Unlike FreeBSD,
 * a getter on a missing or mistyped entry returns false, 0 or null instead of
 * aborting. */
#pragma once

#include <stdbool.h>
#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

struct nvlist;
typedef struct nvlist nvlist_t;

#define NV_TYPE_NULL 1
#define NV_TYPE_BOOL 2
#define NV_TYPE_NUMBER 3
#define NV_TYPE_STRING 4
#define NV_TYPE_NVLIST 5

nvlist_t* FreeBSD_nvlist_create(int flags);
void FreeBSD_nvlist_destroy(nvlist_t* list);
/* 0, or the errno of the first failed addition. */
int FreeBSD_nvlist_error(const nvlist_t* list);
bool FreeBSD_nvlist_exists(const nvlist_t* list, const char* name);
/* A malloc'd buffer the caller frees; null when the list has an error. */
void* FreeBSD_nvlist_pack(const nvlist_t* list, size_t* size);
/* Null (errno EINVAL) for anything that is not a packed list. */
nvlist_t* FreeBSD_nvlist_unpack(const void* buffer, size_t size, int flags);
/* Adding a name twice, or a null value, sets the list's error. */
void FreeBSD_nvlist_add_bool(nvlist_t* list, const char* name, bool value);
void FreeBSD_nvlist_add_number(nvlist_t* list, const char* name, uint64_t value);
void FreeBSD_nvlist_add_string(nvlist_t* list, const char* name, const char* value);
/* Adds a copy of value. */
void FreeBSD_nvlist_add_nvlist(nvlist_t* list, const char* name, const nvlist_t* value);
bool FreeBSD_nvlist_get_bool(const nvlist_t* list, const char* name);
uint64_t FreeBSD_nvlist_get_number(const nvlist_t* list, const char* name);
const char* FreeBSD_nvlist_get_string(const nvlist_t* list, const char* name);
const nvlist_t* FreeBSD_nvlist_get_nvlist(const nvlist_t* list, const char* name);
/* Names in insertion order; *cookie starts null. Null at the end. */
const char* FreeBSD_nvlist_next(const nvlist_t* list, int* type, void** cookie);

#ifdef __cplusplus
}
#endif
