// Bytes as a configuration file: loading never fails hard, and whatever the
// file says, every setting ends inside its bounds.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

#include <unistd.h>

#include "startup/configuration.h"
#include "startup/settings.h"

namespace {

// A file in a scratch directory that is removed when the run ends.
struct ScratchFile {
    std::filesystem::path dir;
    std::string path;

    ScratchFile()
    {
        // Memory-backed when possible: rewriting a file on ext4 after a
        // truncation flushes it to disk, which costs more than the parse.
        std::string pattern = access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp";
        pattern += "/fuzz_configuration.XXXXXX";
        if (mkdtemp(pattern.data()) == nullptr)
            std::abort();
        dir = pattern;
        path = pattern + "/halvorn.config";
    }
    ~ScratchFile()
    {
        std::error_code ignored;
        std::filesystem::remove_all(dir, ignored);
    }
};

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
    static const ScratchFile scratch;
    const std::string& path = scratch.path;
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
