#include "system_environment.h"

#include <chrono>
#include <iostream>
#include <thread>

#include "platform_kernel.h"

CheckEnvironment system_environment()
{
    return CheckEnvironment{
        .sysctl = sysctlbyname,
        .sleep = [](int seconds) { std::this_thread::sleep_for(std::chrono::seconds(seconds)); },
        .out = &std::cout,
    };
}
