#include "replay/workers.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>

#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

#include "io/write_all.h"

namespace {

using Jobs = std::function<std::vector<std::string>(const std::vector<size_t>&)>;
using Results = std::vector<std::optional<std::string>>;

struct Worker {
    pid_t pid = -1;
    int fd = -1;  // the read end of its pipe
    std::string buffer;
};

// "INDEX LINE" lines into `results`.
void take_lines(std::string& buffer, Results& results)
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

// Jobs `first`, `first` + `step`, ... below `count`.
std::vector<size_t> share_of(size_t first, size_t step, size_t count)
{
    std::vector<size_t> indices;
    for (size_t i = first; i < count; i += step)
        indices.push_back(i);
    return indices;
}

// Starts the worker that runs its share of the jobs and writes their lines
// into a pipe; false when no pipe or process can be had.
bool start_worker(size_t first, size_t step, size_t count, const Jobs& jobs, std::vector<Worker>& running)
{
    int ends[2];
    if (::pipe(ends) != 0)
        return false;
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::close(ends[0]);
        for (const Worker& other : running)
            ::close(other.fd);
        const std::vector<size_t> indices = share_of(first, step, count);
        const std::vector<std::string> lines = jobs(indices);
        for (size_t k = 0; k < indices.size() && k < lines.size(); ++k) {
            const std::string line = std::to_string(indices[k]) + " " + lines[k] + "\n";
            int error = 0;
            if (write_all(ends[1], line, error) != line.size())
                ::_exit(1);
        }
        ::_exit(0);
    }
    ::close(ends[1]);
    if (pid < 0) {
        ::close(ends[0]);
        return false;
    }
    running.push_back({pid, ends[0], {}});
    return true;
}

// Reads the workers' lines into `results` until every pipe has closed, then
// reaps the workers.
void collect(std::vector<Worker>& running, Results& results)
{
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
}

}  // namespace

Results run_in_workers(size_t count, unsigned workers, const std::function<std::string(size_t)>& job)
{
    return run_shares_in_workers(count, workers, [&job](const std::vector<size_t>& indices) {
        std::vector<std::string> lines;
        for (const size_t i : indices)
            lines.push_back(job(i));
        return lines;
    });
}

Results run_shares_in_workers(size_t count, unsigned workers, const Jobs& jobs)
{
    Results results(count);
    workers = static_cast<unsigned>(std::min<size_t>(std::max(workers, 1u), count));
    std::fflush(nullptr);  // nothing buffered is written twice
    std::vector<Worker> running;
    while (running.size() < workers && start_worker(running.size(), workers, count, jobs, running)) {
    }
    // Fewer workers than planned (no process to spare): each takes its share
    // as planned, and the shares of those not started are done here.
    for (size_t w = running.size(); w < workers; ++w) {
        const std::vector<size_t> indices = share_of(w, workers, count);
        std::vector<std::string> lines = jobs(indices);
        for (size_t k = 0; k < indices.size() && k < lines.size(); ++k)
            results[indices[k]] = std::move(lines[k]);
    }
    collect(running, results);
    return results;
}
