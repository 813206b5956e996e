#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "controller/vm_handle.h"

struct vmctx;

// A VM opened through libvmmapi, for one evaluation or one command.
class VmContext final : public VmHandle {
public:
    explicit VmContext(const std::string& name);
    ~VmContext() override;
    VmContext(const VmContext&) = delete;
    VmContext& operator=(const VmContext&) = delete;

    bool is_open() const override { return ctx != nullptr; }
    int get_class() const override;
    int set_class(int cls) override;
    // The library counts milliseconds; this answers microseconds.
    ThrottleTime throttle_us(int vcpu) const override;

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
