#include "host/vm_name.h"

#include "startup/log_text.h"

bool is_usable_vm_name(std::string_view name)
{
    if (name.empty() || name == "." || name == "..")
        return false;
    for (const char c : name)
        if (c == '/' || is_control_character(c))
            return false;
    return true;
}
