/* A stand-in libnv for the binding's tests: a list holds one name/value pair.
 * -DWITHOUT_next leaves out FreeBSD_nvlist_next. */
#include <stdbool.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

typedef struct nvlist {
    char name[32];
    char value[32];
} nvlist_t;

/* Test hook, read through dlsym: lists destroyed so far. */
int fake_nv_destroyed = 0;

static bool holds(const nvlist_t* list, const char* name)
{
    return list != NULL && list->name[0] != '\0' && strcmp(list->name, name) == 0;
}

static void put(nvlist_t* list, const char* name, const char* value)
{
    snprintf(list->name, sizeof list->name, "%s", name);
    snprintf(list->value, sizeof list->value, "%s", value);
}

nvlist_t* FreeBSD_nvlist_create(int flags)
{
    (void)flags;
    return calloc(1, sizeof(nvlist_t));
}

void FreeBSD_nvlist_destroy(nvlist_t* list)
{
    if (list == NULL)
        return;
    free(list);
    ++fake_nv_destroyed;
}

bool FreeBSD_nvlist_exists(const nvlist_t* list, const char* name) { return holds(list, name); }

void* FreeBSD_nvlist_pack(const nvlist_t* list, size_t* size)
{
    void* buffer = malloc(sizeof *list);
    if (buffer != NULL) {
        memcpy(buffer, list, sizeof *list);
        *size = sizeof *list;
    }
    return buffer;
}

nvlist_t* FreeBSD_nvlist_unpack(const void* buffer, size_t size, int flags)
{
    (void)flags;
    if (size != sizeof(nvlist_t))
        return NULL;
    nvlist_t* list = malloc(sizeof *list);
    if (list != NULL)
        memcpy(list, buffer, sizeof *list);
    return list;
}

void FreeBSD_nvlist_add_string(nvlist_t* list, const char* name, const char* value)
{
    put(list, name, value);
}

void FreeBSD_nvlist_add_nvlist(nvlist_t* list, const char* name, const nvlist_t* value)
{
    put(list, name, value->value);
}

bool FreeBSD_nvlist_get_bool(const nvlist_t* list, const char* name)
{
    return holds(list, name) && strcmp(list->value, "true") == 0;
}

uint64_t FreeBSD_nvlist_get_number(const nvlist_t* list, const char* name)
{
    return holds(list, name) ? strtoull(list->value, NULL, 10) : 0;
}

const char* FreeBSD_nvlist_get_string(const nvlist_t* list, const char* name)
{
    return holds(list, name) ? list->value : NULL;
}

const nvlist_t* FreeBSD_nvlist_get_nvlist(const nvlist_t* list, const char* name)
{
    return holds(list, name) ? list : NULL;
}

#ifndef WITHOUT_next
const char* FreeBSD_nvlist_next(const nvlist_t* list, int* type, void** cookie)
{
    if (*cookie != NULL || list->name[0] == '\0')
        return NULL;
    *type = 3; /* a string */
    *cookie = (void*)list;
    return list->name;
}
#endif
