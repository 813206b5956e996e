#pragma once

// A shared object opened once by its bare name, for the run-time bindings.

#include <string>
#include <vector>

class SharedObject {
public:
    // Entry point `name` is looked up as symbol_prefix + name and reported
    // missing as report_prefix + name.
    SharedObject(const char* file_name, const char* symbol_prefix, const char* report_prefix);
    ~SharedObject();  // dlclose when open
    SharedObject(const SharedObject&) = delete;
    SharedObject& operator=(const SharedObject&) = delete;

    // Null when the object is not open or lacks the symbol.
    void* symbol(const char* name) const;

    // An address that converts to whichever function pointer receives it.
    struct Address {
        void* address;
        template <class Fn>
        operator Fn*() const
        {
            return reinterpret_cast<Fn*>(address);
        }
    };

    // Looks an entry point up and records whether it was found, so that a
    // binding lists each entry point once, in the order load_error reports.
    Address resolve(const char* name);

    // "" when open and every resolved entry is present; "dlopen: <reason>"
    // when the object did not open; else "functions not found: " and each
    // missing entry's name followed by a blank, in the order resolved.
    std::string load_error() const;

    void* handle = nullptr;

private:
    // dlerror() hands its message out once; keep it for every later check.
    std::string open_error;
    std::string symbol_prefix;
    std::string report_prefix;
    std::vector<std::string> missing;  // report names, in the order resolved
};
