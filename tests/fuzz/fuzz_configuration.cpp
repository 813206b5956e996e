// Bytes as a configuration file: loading never fails hard, and whatever the
// file says, every setting ends inside its bounds.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include <unistd.h>

#include "startup/settings.h"

namespace {

std::string config_path()
{
    static const std::string path = [] {
        char pattern[] = "/tmp/fuzz_configuration.XXXXXX";
        if (mkdtemp(pattern) == nullptr)
            std::abort();
        return std::string(pattern) + "/halvorn.config";
    }();
    return path;
}

void require(bool holds, const char* what)
{
    if (!holds) {
        std::fprintf(stderr, "setting out of bounds: %s\n", what);
        std::abort();
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const std::string path = config_path();
    FILE* file = std::fopen(path.c_str(), "wb");
    if (file == nullptr)
        std::abort();
    std::fwrite(data, 1, size, file);
    std::fclose(file);

    Settings s;
    load_configuration(s, std::string(), path, std::string());
    require(s.log_level >= 0 && s.log_level <= 6, "log_level");
    require(s.update_time >= 100 && s.update_time <= 10000, "update_time");
    require(s.update_vm_list >= 1, "update_vm_list");
    require(s.averaging_time >= 10, "averaging_time");
    require(s.min_cpu_idle_level >= 5 && s.min_cpu_idle_level <= 90, "min_cpu_idle_level");
    require(s.max_cpu_idle_level >= s.min_cpu_idle_level + 5 && s.max_cpu_idle_level <= 95,
            "max_cpu_idle_level");
    require(s.rate_limit_delta >= 1, "rate_limit_delta");
    require(s.cpu_idle_level >= 5 && s.cpu_idle_level <= 99, "cpu_idle_level");
    require(s.overload_bound >= 10 && s.overload_bound <= 99, "overload_bound");
    require(s.vcpu >= 1, "vcpu");
    return 0;
}
