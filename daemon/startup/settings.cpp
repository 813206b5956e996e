#include "startup/settings.h"

#include <fnmatch.h>

#include <spdlog/common.h>

bool Settings::set_log_level(const std::string& name)
{
    // from_str answers "off" for every name it does not know.
    const spdlog::level::level_enum level = spdlog::level::from_str(name);
    if (level == spdlog::level::off && name != "off")
        return false;
    log_level = level;
    return true;
}

bool Settings::is_exempt(const std::string& vm_name) const
{
    for (const std::string& pattern : exempt)
        if (::fnmatch(pattern.c_str(), vm_name.c_str(), 0) == 0)
            return true;
    return false;
}

std::vector<std::string> split_name_list(const std::string& text)
{
    constexpr const char* blanks = " \t\n";
    std::vector<std::string> items;
    size_t start = 0;
    while (start <= text.size()) {
        size_t end = text.find(',', start);
        if (end == std::string::npos)
            end = text.size();
        const std::string item = text.substr(start, end - start);
        const size_t first = item.find_first_not_of(blanks);
        if (first != std::string::npos)
            items.push_back(item.substr(first, item.find_last_not_of(blanks) - first + 1));
        start = end + 1;
    }
    return items;
}

std::string level_name(int level)
{
    // spdlog's own table, the one set_log_level reads names back through.
    if (level < 0 || level >= spdlog::level::n_levels)
        return "";
    const auto name = spdlog::level::to_string_view(static_cast<spdlog::level::level_enum>(level));
    return std::string(name.data(), name.size());
}
