#include "host/process_title.h"

#include <unistd.h>

#include "platform_kernel.h"

int set_process_arguments(const std::string& text)
{
    const int mib[4] = {CTL_KERN, KERN_PROC, KERN_PROC_ARGS, static_cast<int>(getpid())};
    return sysctl(mib, 4, nullptr, nullptr, text.c_str(), text.size() + 1);
}
