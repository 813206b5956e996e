#pragma once

#include <memory>
#include <string>
#include <utility>
#include <vector>

#include <spdlog/sinks/ringbuffer_sink.h>
#include <spdlog/spdlog.h>

// Installs a default logger at trace level that keeps every record.
class LogCapture {
public:
    using Line = std::pair<spdlog::level::level_enum, std::string>;

    LogCapture() : sink_(std::make_shared<spdlog::sinks::ringbuffer_sink_mt>(10000))
    {
        auto logger = std::make_shared<spdlog::logger>("capture", sink_);
        logger->set_level(spdlog::level::trace);
        spdlog::set_default_logger(logger);
    }

    // Records since the last call.
    std::vector<Line> take()
    {
        std::vector<Line> lines;
        const auto raw = sink_->last_raw();
        for (size_t i = seen_; i < raw.size(); ++i)
            lines.emplace_back(raw[i].level, std::string(raw[i].payload.data(), raw[i].payload.size()));
        seen_ = raw.size();
        return lines;
    }

private:
    std::shared_ptr<spdlog::sinks::ringbuffer_sink_mt> sink_;
    size_t seen_ = 0;
};
