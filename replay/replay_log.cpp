#include "replay/replay_log.h"

#include <cstdio>
#include <iterator>
#include <memory>
#include <mutex>

#include <fmt/format.h>
#include <spdlog/details/null_mutex.h>
#include <spdlog/sinks/base_sink.h>
#include <spdlog/spdlog.h>

#include "replay/local_time.h"

namespace {

struct LogClock {
    int64_t wall_ns = 0;
    int pid = 0;
};

LogClock& log_clock()
{
    static LogClock clock;
    return clock;
}

// "[%Y-%m-%d %T.%e] [%L] [%P] %v", the daemon's console pattern, with the
// recorded time and pid.
class RecordedClockSink final : public spdlog::sinks::base_sink<spdlog::details::null_mutex> {
protected:
    void sink_it_(const spdlog::details::log_msg& msg) override
    {
        const LogClock& clock = log_clock();
        fmt::memory_buffer line;
        fmt::format_to(std::back_inserter(line), "[{}] [{}] [{}] ", local_time(clock.wall_ns, true),
                       spdlog::level::to_short_c_str(msg.level), clock.pid);
        line.append(msg.payload.begin(), msg.payload.end());
        line.push_back('\n');
        std::fwrite(line.data(), 1, line.size(), stdout);
    }
    void flush_() override { std::fflush(stdout); }
};

}  // namespace

void install_replay_logger(bool to_stdout, int level)
{
    auto logger = std::make_shared<spdlog::logger>("replay", std::make_shared<RecordedClockSink>());
    logger->set_level(to_stdout ? static_cast<spdlog::level::level_enum>(level) : spdlog::level::off);
    spdlog::set_default_logger(logger);
}

void set_log_clock(int64_t wall_ns, int pid) { log_clock() = {wall_ns, pid}; }
