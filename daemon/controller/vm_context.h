#pragma once

#include <cstdint>
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
    uint64_t throttle_us(int vcpu) const override;

    vmctx* ctx = nullptr;

private:
    // Index of the first of `count` counters that holds the throttle time; -1 none.
    int find_throttle_counter(int count) const;
    mutable int throttle_index = -1;  // found by an earlier throttle_us, -1 not yet
};
