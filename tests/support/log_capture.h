#pragma once

#include <memory>
#include <string>
#include <utility>
#include <vector>

#include <spdlog/sinks/ringbuffer_sink.h>
#include <spdlog/spdlog.h>

// Installs a default logger at trace level that keeps every record, and puts
// the previous one back on destruction.
class LogCapture {
public:
    using Line = std::pair<spdlog::level::level_enum, std::string>;

    LogCapture() : sink_(std::make_shared<spdlog::sinks::ringbuffer_sink_mt>(10000))
    {
        auto logger = std::make_shared<spdlog::logger>("capture", sink_);
        logger->set_level(spdlog::level::trace);
        previous_ = spdlog::default_logger();
        spdlog::set_default_logger(logger);
    }
    ~LogCapture() { spdlog::set_default_logger(previous_); }
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;

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

    // Every message so far, one a line.
    std::string text() const
    {
        std::string all;
        for (const auto& record : sink_->last_raw())
            all.append(record.payload.data(), record.payload.size()).append("\n");
        return all;
    }

private:
    std::shared_ptr<spdlog::sinks::ringbuffer_sink_mt> sink_;
    std::shared_ptr<spdlog::logger> previous_;
    size_t seen_ = 0;
};
