#include "replay/child_run.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include <sys/wait.h>
#include <unistd.h>

bool on_path(const std::string& program)
{
    const char* path = std::getenv("PATH");
    std::string_view dirs = path ? path : "/usr/bin:/bin";
    while (!dirs.empty()) {
        const size_t colon = dirs.find(':');
        const std::string dir(dirs.substr(0, colon));
        if (!dir.empty() && ::access((dir + "/" + program).c_str(), X_OK) == 0)
            return true;
        dirs.remove_prefix(colon == std::string_view::npos ? dirs.size() : colon + 1);
    }
    return false;
}

int run_and_wait(const std::vector<std::string>& argv)
{
    std::vector<char*> args;
    for (const std::string& arg : argv)
        args.push_back(const_cast<char*>(arg.c_str()));
    args.push_back(nullptr);
    std::fflush(nullptr);
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::execvp(args[0], args.data());
        ::_exit(127);
    }
    if (pid < 0)
        return -1;
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0)
        if (errno != EINTR)
            return -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

int chart_scratch_file(const std::string& name, std::string& path, std::string& error)
{
    const char* tmp = std::getenv("TMPDIR");
    path = std::string(tmp && *tmp ? tmp : "/tmp") + "/" + name + ".XXXXXX";
    const int fd = ::mkstemp(path.data());
    if (fd < 0)
        error = std::string("no scratch file for the chart: ") + std::strerror(errno);
    return fd;
}

std::string gnuplot_missing()
{
    if (on_path("gnuplot"))
        return {};
    return "--chart needs gnuplot, which is not on the PATH (FreeBSD: pkg install gnuplot, or the GNUPLOT "
           "option of the sysutils/halvorn port; Debian: apt-get install gnuplot-nox)";
}
