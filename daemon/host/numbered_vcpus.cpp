#include "host/numbered_vcpus.h"

#include <cerrno>
#include <cstdlib>
#include <limits>

std::optional<int> vcpu_number(const std::string& thread_name)
{
    // "vcpu" and a blank, then the number.
    if (thread_name.size() <= 5)
        return std::nullopt;
    const char* digits = thread_name.c_str() + 5;
    char* end = nullptr;
    errno = 0;
    const long number = std::strtol(digits, &end, 10);
    // Out of int's range the number would wrap onto some real vCPU's index.
    if (end == digits || errno == ERANGE || number < 0 || number > std::numeric_limits<int>::max())
        return std::nullopt;
    return static_cast<int>(number);
}

NumberedVcpus numbered_vcpus(const VcpuThreads& threads)
{
    NumberedVcpus numbered;
    numbered.reserve(threads.size());
    for (const auto& [name, runtime] : threads)
        if (const auto number = vcpu_number(name))
            numbered.push_back({*number, runtime});
    return numbered;
}
