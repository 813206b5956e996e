// What the configuration tests share: loading a file with both output
// streams captured, and the texts the loader prints.
#pragma once

#include <filesystem>
#include <string>

#include <gtest/gtest.h>

#include "startup/configuration.h"
#include "startup/settings.h"
#include "temp_dir.h"

namespace fs = std::filesystem;
using testing::internal::CaptureStderr;
using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStderr;
using testing::internal::GetCapturedStdout;

struct Loaded {
    Settings settings;
    std::string out;
    std::string err;
};

inline Loaded load(const std::string& program, const std::string& config, const std::string& level = "",
                   Settings* target = nullptr)
{
    Loaded r;
    Settings& s = target ? *target : r.settings;
    CaptureStdout();
    CaptureStderr();
    load_configuration(s, program, config, level);
    r.out = GetCapturedStdout();
    r.err = GetCapturedStderr();
    if (target)
        r.settings = *target;
    return r;
}

inline std::string unknown_level(const std::string& name)
{
    return "Unknown log level '" + name + "' (trace, debug, info, warn, err, critical, off)\n";
}

inline std::string cannot_load(const std::string& path)
{
    return "Can't load config file: '" + path + "'\nUsing default parameters\n";
}

// The search ends in these; a machine that has either cannot show a miss.
inline bool system_file_present()
{
    return fs::exists("/usr/local/etc/halvorn.config") || fs::exists("/etc/halvorn.config");
}

class ConfigurationFile : public testing::Test {
protected:
    Loaded load_text(const std::string& text, const std::string& level = "")
    {
        return load("", dir.write("test.config", text), level);
    }
    TempDir dir;
};
