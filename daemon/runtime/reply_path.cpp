#include "runtime/reply_path.h"

#include <unistd.h>

std::string fifo_path(const std::string& program, bool with_pid)
{
    std::string path = "/var/run/" + program + ".cli.fifo";
    if (with_pid)
        path += "." + std::to_string(getpid());
    return path;
}

bool is_reply_path(const std::string& daemon_path, const std::string& reply_path)
{
    const std::string prefix = daemon_path + ".";
    if (reply_path.size() <= prefix.size() || reply_path.compare(0, prefix.size(), prefix) != 0)
        return false;
    return reply_path.find_first_not_of("0123456789", prefix.size()) == std::string::npos;
}
