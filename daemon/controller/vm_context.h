#pragma once

#include <cstdint>
#include <string>

struct vmctx;

// A handle on one VM through libvmmapi, for one evaluation or one command.
class VmContext {
public:
    explicit VmContext(const std::string& name);
    ~VmContext();
    VmContext(const VmContext&) = delete;
    VmContext& operator=(const VmContext&) = delete;

    bool is_open() const { return ctx != nullptr; }
    // 0..9, or -1 when closed or unreadable.
    int get_class() const;
    // 0 done, -1 no context, -2 class -1 asked, -3 library refused.
    int set_class(int cls);
    // Milliseconds held back by the rate limit, as microseconds; 0 unknown.
    uint64_t throttle_us(int vcpu) const;

    vmctx* ctx = nullptr;

private:
    // Index of the first of `count` counters that holds the throttle time; -1 none.
    int find_throttle_counter(int count) const;
    mutable int throttle_index = -1;  // found by an earlier throttle_us, -1 not yet
};
