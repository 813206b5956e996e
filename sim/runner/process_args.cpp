#include "process_args.h"

#include <fcntl.h>
#include <unistd.h>

namespace vmmsim {

std::vector<std::string> process_args(int pid)
{
    std::vector<std::string> args;
    if (pid <= 0)
        return args;
    std::string path = "/proc/" + std::to_string(pid) + "/cmdline";
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return args;
    std::string text;
    char buffer[4096];
    ssize_t got;
    while (text.size() < 65536 && (got = read(fd, buffer, sizeof buffer)) > 0)
        text.append(buffer, static_cast<std::size_t>(got));
    close(fd);
    std::size_t start = 0;
    while (start < text.size()) {
        std::size_t end = text.find('\0', start);
        if (end == std::string::npos)
            end = text.size();
        args.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    return args;
}

}  // namespace vmmsim
