#include "bindings/shared_object.h"

#include <dlfcn.h>

SharedObject::SharedObject(const char* file_name)
{
    handle = dlopen(file_name, RTLD_LAZY);
    if (handle == nullptr) {
        const char* reason = dlerror();
        open_error = reason != nullptr ? reason : "";
    }
}

SharedObject::~SharedObject()
{
    if (handle != nullptr) {
        dlclose(handle);
        handle = nullptr;
    }
}

void* SharedObject::symbol(const char* name) const
{
    return handle != nullptr ? dlsym(handle, name) : nullptr;
}

std::string SharedObject::load_error(const std::vector<std::pair<const char*, bool>>& entries) const
{
    if (handle == nullptr)
        return "dlopen: " + open_error;
    std::string missing;
    for (const auto& [name, present] : entries) {
        if (!present) {
            missing += name;
            missing += ' ';
        }
    }
    return missing.empty() ? missing : "functions not found: " + missing;
}
