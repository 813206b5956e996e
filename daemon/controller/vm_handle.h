#pragma once

#include <cstdint>
#include <optional>

// What VmHandle::set_class answers.
enum SetClassResult : int {
    set_class_done = 0,
    set_class_no_context = -1,
    set_class_unreadable_asked = -2,  // class -1 ("unreadable") is no class to set
    set_class_refused = -3,           // the library refused
};

// A vCPU's throttle time in microseconds, or none when unreadable: an
// optional that GCC returns in registers. (It returns a std::optional<uint64_t>
// through memory, which stalls a call the controller makes for every vCPU on
// every tick.)
class ThrottleTime {
public:
    constexpr ThrottleTime(std::nullopt_t = std::nullopt) {}
    constexpr ThrottleTime(uint64_t us) : us_(us), known_(true) {}
    constexpr bool has_value() const { return known_; }
    constexpr explicit operator bool() const { return known_; }
    constexpr uint64_t operator*() const { return us_; }
    constexpr uint64_t value_or(uint64_t otherwise) const { return known_ ? us_ : otherwise; }
    constexpr operator std::optional<uint64_t>() const
    {
        return known_ ? std::optional<uint64_t>(us_) : std::nullopt;
    }
    friend constexpr bool operator==(ThrottleTime a, ThrottleTime b)
    {
        return a.known_ == b.known_ && a.us_ == b.us_;
    }

private:
    uint64_t us_ = 0;
    bool known_ = false;
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
    // Time the rate limit held the vCPU back, microseconds. Empty when the
    // counters could not be read this time; 0 every time from a library that
    // keeps no throttle counter.
    virtual ThrottleTime throttle_us(int vcpu) const = 0;
};
