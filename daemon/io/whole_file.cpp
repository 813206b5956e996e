#include "io/whole_file.h"

#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

bool read_whole_file(const std::string& path, std::string& bytes, std::string& error)
{
    bytes.clear();
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        error = std::strerror(errno);
        return false;
    }
    struct stat st {};
    if (::fstat(fd, &st) == 0 && S_ISDIR(st.st_mode)) {
        ::close(fd);
        error = std::strerror(EISDIR);
        return false;
    }
    // Room for the whole file at once, and one byte to see its end by: a
    // day's recording is large, and growing it would copy it over and over.
    bytes.resize(st.st_size > 0 ? static_cast<size_t>(st.st_size) + 1 : 4096);
    size_t used = 0;
    for (;;) {
        if (used == bytes.size())
            bytes.resize(bytes.size() * 2);  // it grew while being read
        const ssize_t count = ::read(fd, bytes.data() + used, bytes.size() - used);
        if (count < 0 && errno == EINTR)
            continue;
        if (count <= 0) {
            const bool failed = count < 0;
            error = failed ? std::strerror(errno) : "";
            ::close(fd);
            bytes.resize(failed ? 0 : used);
            return !failed;
        }
        used += static_cast<size_t>(count);
    }
}
