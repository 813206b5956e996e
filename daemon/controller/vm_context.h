#pragma once

#include <cstdint>
#include <optional>
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
    // Milliseconds held back by the rate limit, as microseconds. Empty when
    // the counters could not be read; 0 when the VM keeps no throttle counter.
    std::optional<uint64_t> throttle_us(int vcpu) const;

    vmctx* ctx = nullptr;

private:
    static constexpr int no_throttle_counter = -1;
    static constexpr int descriptions_unreadable = -2;
    static constexpr int not_searched = -3;
    // Index of the counter that holds the throttle time, or one of the above;
    // `count` is how many counters a read reported.
    int find_throttle_counter(int count) const;
    mutable int throttle_index = not_searched;
};
