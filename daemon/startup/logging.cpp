#include "startup/logging.h"

#include <memory>

#include <spdlog/pattern_formatter.h>
#include <spdlog/sinks/ansicolor_sink.h>
#include <spdlog/sinks/dist_sink.h>
#include <spdlog/sinks/syslog_sink.h>
#include <spdlog/spdlog.h>

#include "startup/identity.h"
#include "startup/settings.h"

void setup_logging()
{
    auto distributor = std::make_shared<spdlog::sinks::dist_sink<std::mutex>>();

    auto console = std::make_shared<spdlog::sinks::ansicolor_stdout_sink<spdlog::details::console_mutex>>(
        spdlog::color_mode::automatic);
    console->set_pattern("[%Y-%m-%d %T.%e] %^[%L]%$ [%P] %v");
    console->set_level(spdlog::level::trace);
    distributor->add_sink(console);

    auto syslog =
        std::make_shared<spdlog::sinks::syslog_sink<std::mutex>>(program_name(), 0, LOG_LOCAL0, true);
    // syslog stamps time, host and identity itself and ends the record, so
    // it gets the bare message without a line end.
    syslog->set_formatter(
        std::make_unique<spdlog::pattern_formatter>("%v", spdlog::pattern_time_type::local, ""));
    syslog->set_level(spdlog::level::trace);
    distributor->add_sink(syslog);

    auto logger = std::make_shared<spdlog::logger>("logger", distributor);
    logger->set_level(static_cast<spdlog::level::level_enum>(Settings::instance().log_level));
    spdlog::set_default_logger(logger);
}
