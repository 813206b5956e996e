#include "runtime/reply_path.h"

bool is_reply_path(const std::string& daemon_path, const std::string& reply_path)
{
    const std::string prefix = daemon_path + ".";
    if (reply_path.size() <= prefix.size() || reply_path.compare(0, prefix.size(), prefix) != 0)
        return false;
    return reply_path.find_first_not_of("0123456789", prefix.size()) == std::string::npos;
}
