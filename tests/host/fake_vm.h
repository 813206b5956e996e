// Starts a fake bhyve process (fake_bhyve.cpp) for a test and ends it again.
#pragma once

#include <sys/types.h>

#include <memory>
#include <string>
#include <utility>
#include <vector>

struct FakeVmOptions {
    std::string title = "bhyve: vm";   // argv[0], the process's first argument
    int vcpus = 0;                     // threads "vcpu 0" ..
    std::vector<std::string> threads;  // more threads, named exactly so
    bool burn = false;                 // threads spin instead of sleeping
    bool supervised = false;           // started by a supervisor that leads the group
    pid_t group = 0;                   // unsupervised: join this group (0: lead one)
};

inline FakeVmOptions vm_options(std::string title, int vcpus)
{
    FakeVmOptions options;
    options.title = std::move(title);
    options.vcpus = vcpus;
    return options;
}

class ChildProcess;

class FakeVm {
public:
    // Returns once every thread is named. Throws std::runtime_error on failure.
    explicit FakeVm(const FakeVmOptions& options);
    ~FakeVm();
    FakeVm(const FakeVm&) = delete;
    FakeVm& operator=(const FakeVm&) = delete;

    pid_t pid() const { return pid_; }        // the bhyve process
    pid_t parent() const { return parent_; }  // the supervisor, or us
    pid_t group() const { return group_; }

private:
    std::unique_ptr<ChildProcess> child_;  // our direct child: supervisor or bhyve
    pid_t pid_ = -1;
    pid_t parent_ = -1;
    pid_t group_ = -1;
};

// The path of the fake bhyve executable.
const char* fake_bhyve_path();
