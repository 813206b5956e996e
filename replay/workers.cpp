#include "replay/workers.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <algorithm>

#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

bool write_all(int fd, const std::string& text)
{
    size_t done = 0;
    while (done < text.size()) {
        const ssize_t count = ::write(fd, text.data() + done, text.size() - done);
        if (count < 0 && errno == EINTR)
            continue;
        if (count <= 0)
            return false;
        done += static_cast<size_t>(count);
    }
    return true;
}

// "INDEX LINE" lines into `results`.
void take_lines(std::string& buffer, std::vector<std::optional<std::string>>& results)
{
    size_t start = 0;
    for (size_t end = buffer.find('\n'); end != std::string::npos; end = buffer.find('\n', start)) {
        const std::string line = buffer.substr(start, end - start);
        start = end + 1;
        char* rest = nullptr;
        const unsigned long index = std::strtoul(line.c_str(), &rest, 10);
        if (rest != line.c_str() && *rest == ' ' && index < results.size())
            results[index] = std::string(rest + 1);
    }
    buffer.erase(0, start);
}

}  // namespace

std::vector<std::optional<std::string>> run_in_workers(size_t count, unsigned workers,
                                                       const std::function<std::string(size_t)>& job)
{
    std::vector<std::optional<std::string>> results(count);
    workers = static_cast<unsigned>(std::min<size_t>(std::max(workers, 1u), count));
    std::fflush(nullptr);  // nothing buffered is written twice
    struct Worker {
        pid_t pid = -1;
        int fd = -1;
        std::string buffer;
    };
    std::vector<Worker> running;
    for (unsigned w = 0; w < workers; ++w) {
        int ends[2];
        if (::pipe(ends) != 0)
            break;
        const pid_t pid = ::fork();
        if (pid == 0) {
            ::close(ends[0]);
            for (const Worker& other : running)
                ::close(other.fd);
            for (size_t i = w; i < count; i += workers)
                if (!write_all(ends[1], std::to_string(i) + " " + job(i) + "\n"))
                    ::_exit(1);
            ::_exit(0);
        }
        ::close(ends[1]);
        if (pid < 0) {
            ::close(ends[0]);
            break;
        }
        running.push_back({pid, ends[0], {}});
    }
    if (running.empty()) {
        // No process to spare: one after the other, here.
        for (size_t i = 0; i < count; ++i)
            results[i] = job(i);
        return results;
    }
    if (running.size() < workers) {
        // Fewer workers than planned: each takes its share as planned, and
        // the shares of those not started are done here.
        for (unsigned w = static_cast<unsigned>(running.size()); w < workers; ++w)
            for (size_t i = w; i < count; i += workers)
                results[i] = job(i);
    }

    std::vector<pollfd> fds;
    for (const Worker& worker : running)
        fds.push_back({worker.fd, POLLIN, 0});
    size_t open = fds.size();
    while (open > 0) {
        if (::poll(fds.data(), fds.size(), -1) < 0) {
            if (errno == EINTR)
                continue;
            break;
        }
        for (size_t i = 0; i < fds.size(); ++i) {
            if (fds[i].fd < 0 || fds[i].revents == 0)
                continue;
            char chunk[4096];
            const ssize_t got = ::read(fds[i].fd, chunk, sizeof chunk);
            if (got < 0 && errno == EINTR)
                continue;
            if (got <= 0) {
                ::close(fds[i].fd);
                fds[i].fd = -1;
                --open;
                continue;
            }
            running[i].buffer.append(chunk, static_cast<size_t>(got));
            take_lines(running[i].buffer, results);
        }
    }
    for (const Worker& worker : running) {
        int status = 0;
        while (::waitpid(worker.pid, &status, 0) < 0 && errno == EINTR) {
        }
    }
    return results;
}
