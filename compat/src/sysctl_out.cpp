#include "sysctl_out.h"

#include <cerrno>
#include <cstring>

namespace compat {

int sysctl_out(const void* value, size_t size, void* oldp, size_t* oldlenp)
{
    if (oldp == nullptr) {
        if (oldlenp != nullptr)
            *oldlenp = size;
        return 0;
    }
    size_t room = oldlenp != nullptr ? *oldlenp : 0;
    if (room < size) {
        std::memcpy(oldp, value, room);
        return ENOMEM;
    }
    std::memcpy(oldp, value, size);
    *oldlenp = size;
    return 0;
}

}  // namespace compat
