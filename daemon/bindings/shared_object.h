#pragma once

// A shared object opened once by its bare name, for the run-time bindings.

#include <string>
#include <utility>
#include <vector>

class SharedObject {
public:
    explicit SharedObject(const char* file_name);
    ~SharedObject();  // dlclose when open
    SharedObject(const SharedObject&) = delete;
    SharedObject& operator=(const SharedObject&) = delete;

    // Null when the object is not open or lacks the symbol.
    void* symbol(const char* name) const;

    template <class Fn>
    void resolve(Fn& slot, const char* name) const
    {
        slot = reinterpret_cast<Fn>(symbol(name));
    }

    // "" when open and every entry is present; "dlopen: <reason>" when the
    // object did not open; else "functions not found: " and each missing
    // entry's name followed by a blank, in the given order.
    std::string load_error(const std::vector<std::pair<const char*, bool>>& entries) const;

    void* handle = nullptr;

private:
    // dlerror() hands its message out once; keep it for every later check.
    std::string open_error;
};
