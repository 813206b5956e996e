#pragma once

// Runs a program to its end with a deadline, capturing both output streams.

#include <functional>
#include <string>
#include <vector>

struct ProgramResult {
    int status = -1;  // exit status; -1 when killed or not run
    std::string out;
    std::string err;
};

// `argv` includes argv[0]; `env` is the whole environment. `in_child` runs
// after fork, before exec (e.g. to drop privileges); a false result ends the
// child with status 127. The program is killed once `timeout_ms` has passed.
ProgramResult run_program(const std::string& path, const std::vector<std::string>& argv,
                          const std::vector<std::string>& env,
                          const std::function<bool()>& in_child = {}, int timeout_ms = 10000);

// A fresh directory under /tmp, removed with everything in it on destruction.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::string& path() const { return dir; }
    std::string file(const std::string& name) const { return dir + "/" + name; }
    // Writes `text` to `name` inside the directory and returns its path.
    std::string write(const std::string& name, const std::string& text) const;

private:
    std::string dir;
};
