#pragma once

#include <cstdint>

// What VmHandle::set_class answers.
enum SetClassResult : int {
    set_class_done = 0,
    set_class_no_context = -1,
    set_class_unreadable_asked = -2,  // class -1 ("unreadable") is no class to set
    set_class_refused = -3,           // the library refused
};

// One VM opened through libvmmapi for the length of one evaluation.
class VmHandle {
public:
    virtual ~VmHandle() = default;
    virtual bool is_open() const = 0;
    // 0..9, or -1 when closed or unreadable.
    virtual int get_class() const = 0;
    // A SetClassResult.
    virtual int set_class(int cls) = 0;
    // Time the rate limit held the vCPU back, microseconds; 0 unknown.
    virtual uint64_t throttle_us(int vcpu) const = 0;
};
