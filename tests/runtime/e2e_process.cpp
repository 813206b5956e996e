#include "e2e_process.h"

#include <chrono>
#include <thread>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

using Clock = std::chrono::steady_clock;

Clock::time_point deadline_after(double seconds)
{
    return Clock::now() + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
}

}  // namespace

int count_of(const std::string& text, const std::string& needle)
{
    int count = 0;
    for (auto at = text.find(needle); at != std::string::npos; at = text.find(needle, at + needle.size()))
        ++count;
    return count;
}

bool wait_for_text(const std::string& path, const std::string& needle, double seconds, ChildProcess* process,
                   int count)
{
    const auto deadline = deadline_after(seconds);
    for (;;) {
        // Liveness first, then a last read: a child that wrote and died still counts.
        const bool alive = process == nullptr || process->running();
        if (count_of(read_text(path), needle) >= count)
            return true;
        if (!alive || Clock::now() >= deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
}

bool wait_for_reader(const std::string& path, double seconds, ChildProcess* process)
{
    const auto deadline = deadline_after(seconds);
    for (;;) {
        const bool alive = process == nullptr || process->running();
        const int fd = ::open(path.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
        if (fd >= 0) {
            struct stat st {};
            const bool fifo = fstat(fd, &st) == 0 && S_ISFIFO(st.st_mode);
            ::close(fd);
            return fifo;
        }
        if (!alive || Clock::now() >= deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}
