#include "runtime/atomic_file.h"

#include <cerrno>
#include <cstring>
#include <filesystem>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fmt/format.h>

#include "io/write_all.h"

std::string replace_file(const std::string& path, const std::string& text, mode_t mode)
{
    const std::filesystem::path target(path);
    // Hidden, so that a collector reading *.prom never picks it up.
    std::string temporary = (target.parent_path() / ("." + target.filename().string() + ".XXXXXX")).string();
    const int fd = ::mkstemp(temporary.data());
    if (fd < 0)
        return fmt::format("cannot create a file next to it: {}", std::strerror(errno));

    std::string failure;
    int error = 0;
    if (write_all(fd, text, error) != text.size())
        failure = fmt::format("write: {}", std::strerror(error));
    // mkstemp makes it 0600; readers may run as other users.
    if (failure.empty() && ::fchmod(fd, mode) != 0)
        failure = fmt::format("chmod: {}", std::strerror(errno));
    if (::close(fd) != 0 && failure.empty())
        failure = fmt::format("close: {}", std::strerror(errno));
    if (failure.empty() && ::rename(temporary.c_str(), path.c_str()) != 0)
        failure = fmt::format("rename: {}", std::strerror(errno));
    if (!failure.empty())
        ::unlink(temporary.c_str());
    return failure;
}
