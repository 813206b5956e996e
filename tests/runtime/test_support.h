#pragma once

#include <filesystem>
#include <memory>
#include <sstream>
#include <string>

#include <spdlog/sinks/ostream_sink.h>
#include <spdlog/spdlog.h>

// A fresh directory under the system's temporary directory, removed again.
class TempDir {
public:
    TempDir()
    {
        std::string pattern = (std::filesystem::temp_directory_path() / "halvorn-rt-XXXXXX").string();
        path_ = mkdtemp(pattern.data());
    }
    ~TempDir()
    {
        std::error_code ignored;
        std::filesystem::remove_all(path_, ignored);
    }
    std::string file(const std::string& name) const { return (path_ / name).string(); }

private:
    std::filesystem::path path_;
};

// Installs a default logger that writes bare messages into a string.
class CapturedLog {
public:
    CapturedLog()
    {
        auto sink = std::make_shared<spdlog::sinks::ostream_sink_mt>(text_);
        sink->set_pattern("%v");
        auto logger = std::make_shared<spdlog::logger>("captured", sink);
        logger->set_level(spdlog::level::trace);
        previous_ = spdlog::default_logger();
        spdlog::set_default_logger(logger);
    }
    ~CapturedLog() { spdlog::set_default_logger(previous_); }
    std::string text() const { return text_.str(); }

private:
    std::ostringstream text_;
    std::shared_ptr<spdlog::logger> previous_;
};
