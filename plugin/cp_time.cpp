#include "plugin/cp_time.h"

#include <cerrno>
#include <cstdint>
#include <cstring>

#include "platform_kernel.h"

static_assert(std::tuple_size_v<CpTimeSample> == CPUSTATES);

std::string read_cp_time(const SysctlByName& sysctl, CpTimeSample& sample)
{
    std::size_t length = sizeof(sample);
    int rc = sysctl("kern.cp_time", sample.data(), &length, nullptr, 0);
    if (rc == 0 && length != sizeof(sample)) {
        errno = EIO;
        rc = -1;
    }
    if (rc != 0)
        return std::string("sysctl kern.cp_time error: ") + std::strerror(errno);
    return {};
}

std::optional<double> idle_share(const CpTimeSample& first, const CpTimeSample& second)
{
    std::uint64_t total = 0;
    std::uint64_t idle = 0;
    for (std::size_t i = 0; i < first.size(); ++i) {
        const std::uint64_t delta =
            static_cast<std::uint64_t>(second[i]) - static_cast<std::uint64_t>(first[i]);
        total += delta;
        if (i == CP_IDLE)
            idle = delta;
    }
    if (total == 0)
        return std::nullopt;
    return static_cast<double>(idle) * 100.0 / static_cast<double>(total);
}
