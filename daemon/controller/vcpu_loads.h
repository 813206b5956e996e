#pragma once

#include <algorithm>
#include <cstdint>
#include <stdexcept>
#include <utility>
#include <vector>

// Demand history of one vCPU.
struct VcpuLoad {
    uint64_t runtime = 0;    // us, thread run time at the last evaluation
    uint64_t throttled = 0;  // us, throttle sleep at the last evaluation
    double load = 0.0;       // percent, averaged demand
    // Microseconds of evaluations whose throttle time could not be read: the
    // next good read measures over them too, from the same baseline.
    double unread_us = 0.0;
    bool measured = false;  // at least one interval has been folded into `load`
};

// A VM's vCPU histories by vCPU number, in number order. Kept in one array:
// every evaluation walks all of them, and a tree's nodes scattered over the
// heap cost that walk more than anything done with them.
class VcpuLoads {
public:
    using value_type = std::pair<int, VcpuLoad>;
    using iterator = std::vector<value_type>::iterator;
    using const_iterator = std::vector<value_type>::const_iterator;

    iterator begin() { return loads_.begin(); }
    iterator end() { return loads_.end(); }
    const_iterator begin() const { return loads_.begin(); }
    const_iterator end() const { return loads_.end(); }
    size_t size() const { return loads_.size(); }
    bool empty() const { return loads_.empty(); }

    // Where vCPU `number` is, or would go.
    size_t position(int number) const
    {
        return static_cast<size_t>(
            std::lower_bound(loads_.begin(), loads_.end(), number,
                             [](const value_type& load, int n) { return load.first < n; }) -
            loads_.begin());
    }
    bool holds(size_t at, int number) const { return at < loads_.size() && loads_[at].first == number; }
    VcpuLoad& load_at(size_t at) { return loads_[at].second; }
    VcpuLoad& insert(size_t at, int number, const VcpuLoad& load)
    {
        return loads_.insert(loads_.begin() + static_cast<std::ptrdiff_t>(at), {number, load})->second;
    }

    VcpuLoad& operator[](int number)
    {
        const size_t at = position(number);
        return holds(at, number) ? load_at(at) : insert(at, number, {});
    }
    const VcpuLoad& at(int number) const
    {
        const size_t at = position(number);
        if (!holds(at, number))
            throw std::out_of_range("no such vCPU");
        return loads_[at].second;
    }

private:
    std::vector<value_type> loads_;
};
