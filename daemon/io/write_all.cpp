#include "io/write_all.h"

#include <cerrno>

#include <unistd.h>

size_t write_all(int fd, std::string_view bytes, int& error)
{
    size_t done = 0;
    error = 0;
    while (done < bytes.size()) {
        const ssize_t count = ::write(fd, bytes.data() + done, bytes.size() - done);
        if (count < 0 && errno == EINTR)
            continue;
        if (count <= 0) {
            // A write that takes nothing would only be tried forever.
            error = count < 0 ? errno : EIO;
            break;
        }
        done += static_cast<size_t>(count);
    }
    return done;
}
