#include "bindings/shared_object.h"

#include <dlfcn.h>

SharedObject::SharedObject(const char* file_name, const char* symbol_prefix, const char* report_prefix)
    : symbol_prefix(symbol_prefix), report_prefix(report_prefix)
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

SharedObject::Address SharedObject::resolve(const char* name)
{
    void* address = symbol((symbol_prefix + name).c_str());
    if (address == nullptr)
        missing.push_back(report_prefix + name);
    return {address};
}

std::string SharedObject::load_error() const
{
    if (handle == nullptr)
        return "dlopen: " + open_error;
    std::string names;
    for (const std::string& name : missing) {
        names += name;
        names += ' ';
    }
    return names.empty() ? names : "functions not found: " + names;
}
