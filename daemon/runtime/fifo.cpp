#include "runtime/fifo.h"

#include <cerrno>
#include <csignal>
#include <cstring>
#include <ctime>

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// 0 when `path` names a FIFO, else the error for Fifo::error.
int fifo_type_error(const std::string& path)
{
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0)
        return errno;
    return S_ISFIFO(st.st_mode) ? 0 : Fifo::not_a_fifo;
}

int fifo_type_error(int fd)
{
    struct stat st {};
    if (::fstat(fd, &st) != 0)
        return errno;
    return S_ISFIFO(st.st_mode) ? 0 : Fifo::not_a_fifo;
}

}  // namespace

bool Fifo::open(FifoMode mode, const std::string& new_path)
{
    close();
    path = new_path;
    if (path.empty())
        return false;

    if (mode == FifoMode::Read && ::mkfifo(path.c_str(), 0660) != 0 && errno != EEXIST) {
        error = errno;
        return false;
    }
    // Checked before opening, so that opening has no side effects on a device,
    // and again on the descriptor, in case the path was swapped in between.
    if ((error = fifo_type_error(path)) != 0)
        return false;

    const int flags = (mode == FifoMode::Read ? O_RDONLY : O_WRONLY) | O_NONBLOCK | O_NOCTTY | O_CLOEXEC;
    fd = ::open(path.c_str(), flags);
    if (fd < 0) {
        error = errno;
        return false;
    }
    if ((error = fifo_type_error(fd)) != 0) {
        ::close(fd);
        fd = -1;
        return false;
    }
    return true;
}

void Fifo::close()
{
    if (fd >= 0)
        ::close(fd);
    fd = -1;
    error = 0;
}

ssize_t Fifo::write(std::string_view text)
{
    sigset_t pipe_only;
    sigset_t old_mask;
    sigemptyset(&pipe_only);
    sigaddset(&pipe_only, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &pipe_only, &old_mask);

    ssize_t result = 0;
    sigset_t pending;
    int was_pending = -1;
    if (sigpending(&pending) != 0 || (was_pending = sigismember(&pending, SIGPIPE)) < 0) {
        const int saved = errno;
        close();
        error = saved;
        result = -1;
    } else if (fd >= 0) {
        result = ::write(fd, text.data(), text.size());
        if (result < 0) {
            error = errno;
            if (error == EPIPE) {
                // Take back the SIGPIPE this write raised, unless one was
                // already pending before: that one is not ours to swallow.
                if (!was_pending) {
                    const timespec no_wait{0, 0};
                    while (sigtimedwait(&pipe_only, nullptr, &no_wait) < 0 && errno == EINTR) {
                    }
                }
                close();
                error = EPIPE;
            }
        }
    }

    pthread_sigmask(SIG_SETMASK, &old_mask, nullptr);
    return result;
}

size_t Fifo::write_within(std::string_view text, std::chrono::milliseconds budget)
{
    using clock = std::chrono::steady_clock;
    const clock::time_point deadline = clock::now() + budget;
    size_t done = 0;
    while (done < text.size() && fd >= 0) {
        const ssize_t count = write(text.substr(done));
        if (count > 0) {
            done += static_cast<size_t>(count);
            continue;
        }
        if (count < 0 && error != EAGAIN && error != EINTR)
            break;
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - clock::now());
        if (left.count() <= 0)
            break;
        pollfd room{fd, POLLOUT, 0};
        ::poll(&room, 1, static_cast<int>(left.count()));
    }
    return done;
}

std::string Fifo::error_text() const
{
    if (error == not_a_fifo)
        return "Not a FIFO";
    return std::strerror(error);
}
