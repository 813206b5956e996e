#pragma once

// Reach the counters that the fake libraries keep, in the copy the binding
// loaded (never loading one of our own).

#include <dlfcn.h>

template <class T>
T* fake_hook(const char* library, const char* name)
{
    void* handle = dlopen(library, RTLD_LAZY | RTLD_NOLOAD);
    if (handle == nullptr)
        return nullptr;
    T* hook = static_cast<T*>(dlsym(handle, name));
    dlclose(handle);  // drops only the reference NOLOAD added
    return hook;
}
