#include "replay/local_time.h"

#include <ctime>

#include <fmt/format.h>

#include "controller/nanoseconds.h"

std::string local_time(int64_t wall_ns, bool millis)
{
    const std::time_t seconds = static_cast<std::time_t>(wall_ns / one_second_ns);
    std::tm local{};
    ::localtime_r(&seconds, &local);
    std::string text =
        fmt::format("{:04}-{:02}-{:02} {:02}:{:02}:{:02}", local.tm_year + 1900, local.tm_mon + 1,
                    local.tm_mday, local.tm_hour, local.tm_min, local.tm_sec);
    if (millis)
        text += fmt::format(".{:03}", wall_ns / (one_second_ns / 1000) % 1000);
    return text;
}
