#include "e2e_process.h"

#include <chrono>
#include <cstdlib>
#include <thread>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

using Clock = std::chrono::steady_clock;

}  // namespace

bool wait_until(const std::function<bool()>& holds, double seconds, ChildProcess* process)
{
    const auto deadline =
        Clock::now() + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
    for (;;) {
        // Liveness first, then a last look.
        const bool alive = process == nullptr || process->running();
        if (holds())
            return true;
        if (!alive || Clock::now() >= deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
}

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
    return wait_until([&] { return count_of(read_text(path), needle) >= count; }, seconds, process);
}

bool wait_for_reader(const std::string& path, double seconds, ChildProcess* process)
{
    bool fifo = false;
    const bool opened = wait_until(
        [&] {
            const int fd = ::open(path.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
            if (fd < 0)
                return false;
            struct stat st {};
            fifo = fstat(fd, &st) == 0 && S_ISFIFO(st.st_mode);
            ::close(fd);
            return true;
        },
        seconds, process);
    return opened && fifo;
}

void for_each_line(const std::string& text, const std::function<bool(const std::string&, size_t)>& visit)
{
    for (size_t at = 0; at < text.size();) {
        size_t end = text.find('\n', at);
        if (end == std::string::npos)
            end = text.size();
        if (!visit(text.substr(at, end - at), at))
            return;
        at = end + 1;
    }
}

uint64_t ticks_in_metrics(const std::string& path)
{
    const std::string text = read_text(path);
    const std::string name = "\nhalvorn_ticks_total ";
    const size_t at = text.find(name);
    return at == std::string::npos ? 0 : std::strtoull(text.c_str() + at + name.size(), nullptr, 10);
}
