#include "knob_file.h"

#include <fcntl.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>

#include "replace_file.h"
#include "sim_paths.h"

namespace vmmsim {

std::optional<int> parse_knob_text(const std::string& text)
{
    const char* begin = text.c_str();
    while (*begin == ' ' || *begin == '\t')
        ++begin;
    if (*begin == '\0')
        return std::nullopt;
    errno = 0;
    char* end = nullptr;
    long value = std::strtol(begin, &end, 10);
    if (end == begin || errno == ERANGE || value < INT_MIN || value > INT_MAX)
        return std::nullopt;
    while (*end != '\0' && std::isspace(static_cast<unsigned char>(*end)))
        ++end;
    if (*end != '\0')
        return std::nullopt;
    return static_cast<int>(value);
}

std::optional<int> read_knob(const std::string& root, const std::string& name)
{
    if (!valid_knob_name(name))
        return std::nullopt;
    int fd = open(knob_path(root, name).c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return std::nullopt;
    char buffer[64];
    ssize_t got = read(fd, buffer, sizeof buffer - 1);
    close(fd);
    if (got <= 0)
        return std::nullopt;
    return parse_knob_text(std::string(buffer, static_cast<std::size_t>(got)));
}

bool write_knob(const std::string& root, const std::string& name, int value)
{
    if (!valid_knob_name(name) || !make_dirs(sysctl_dir(root)))
        return false;
    return replace_file(knob_path(root, name), std::to_string(value) + "\n");
}

int class_rate_limit(const std::string& root, int vcpu_class)
{
    if (vcpu_class == 0)
        return 100;
    std::optional<int> limit = read_knob(root, rate_limit_knob(vcpu_class));
    if (!limit)
        return 100;
    return *limit < 0 ? 0 : (*limit > 100 ? 100 : *limit);
}

}  // namespace vmmsim
