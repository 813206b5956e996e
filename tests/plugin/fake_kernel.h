#pragma once

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <deque>
#include <string>
#include <vector>

#include "check.h"

// Answers kern.cp_time from a script of replies and records every call.
struct FakeKernel {
    struct Reply {
        CpTimeSample sample{};
        std::size_t length = sizeof(CpTimeSample);  // bytes the kernel claims
        int error = 0;                              // errno of a failing call
    };

    std::deque<Reply> replies;
    std::vector<std::string> names;
    std::vector<std::size_t> lengths_offered;
    std::vector<int> sleeps;

    int sysctl(const char* name, void* oldp, std::size_t* oldlenp, const void* newp, std::size_t newlen)
    {
        names.emplace_back(name);
        lengths_offered.push_back(*oldlenp);
        if (newp != nullptr || newlen != 0 || replies.empty()) {
            errno = EPERM;
            return -1;
        }
        const Reply reply = replies.front();
        replies.pop_front();
        if (reply.error != 0) {
            errno = reply.error;
            return -1;
        }
        std::memcpy(oldp, reply.sample.data(), std::min(*oldlenp, sizeof(reply.sample)));
        *oldlenp = reply.length;
        return 0;
    }

    CheckEnvironment environment(std::ostream& out)
    {
        return CheckEnvironment{
            .sysctl = [this](const char* n, void* o, std::size_t* l, const void* p,
                             std::size_t s) { return sysctl(n, o, l, p, s); },
            .sleep = [this](int seconds) { sleeps.push_back(seconds); },
            .out = &out,
        };
    }
};
