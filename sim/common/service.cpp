#include "service.h"

#include <algorithm>
#include <atomic>
#include <bit>
#include <cmath>

#include "vm_state.h"

namespace vmmsim {
namespace {

constexpr int64_t ns_per_second = 1'000'000'000;

uint32_t tag_of(int64_t now_ns) { return static_cast<uint32_t>(now_ns / ns_per_second) + 1; }

ServiceSecond& bucket_of(ServiceRing& ring, uint32_t tag) { return ring.second[tag % service_ring_seconds]; }

uint64_t positive(int64_t value) { return value > 0 ? static_cast<uint64_t>(value) : 0; }

// Reuse of a bucket for a new second: the tag goes to 0 first, so a reader
// that saw any of the zeroed fields sees the tag changed when it looks again.
void reuse(ServiceSecond& bucket, uint32_t tag)
{
    std::atomic_ref<uint32_t>(bucket.tag).store(0, std::memory_order_relaxed);
    std::atomic_thread_fence(std::memory_order_release);
    for (uint64_t* field : {&bucket.demand_ns, &bucket.wanted_ns, &bucket.received_ns})
        std::atomic_ref<uint64_t>(*field).store(0, std::memory_order_relaxed);
    for (uint16_t& count : bucket.wake)
        std::atomic_ref<uint16_t>(count).store(0, std::memory_order_relaxed);
    store(bucket.tag, tag);
}

}  // namespace

void record_slice(ServiceRing& ring, int64_t now_ns, const SliceService& slice)
{
    uint32_t tag = tag_of(now_ns);
    ServiceSecond& bucket = bucket_of(ring, tag);
    if (load(bucket.tag) != tag)
        reuse(bucket, tag);
    uint64_t wanted = positive(slice.wanted_ns);
    add(bucket.demand_ns, positive(slice.demand_ns));
    add(bucket.wanted_ns, wanted);
    // Time spent beyond what was wanted is the slice's own overhead, not service.
    add(bucket.received_ns, std::min(positive(slice.used_ns), wanted));
    if (slice.wake_delay_ns >= 0)
        add<uint16_t>(bucket.wake[wake_bin(slice.wake_delay_ns / 1000)], 1);
}

void clear_service(ServiceRing& ring)
{
    for (ServiceSecond& bucket : ring.second)
        if (load(bucket.tag) != 0)
            store<uint32_t>(bucket.tag, 0);
}

int wake_bin(int64_t delay_us)
{
    if (delay_us < 4)
        return delay_us < 0 ? 0 : static_cast<int>(delay_us);
    int exponent = std::bit_width(static_cast<uint64_t>(delay_us)) - 1;  // 2 or more
    int bin = 4 + (exponent - 2) * 4 + static_cast<int>((delay_us >> (exponent - 2)) & 3);
    return std::min(bin, wake_bins - 1);
}

double wake_bin_middle_us(int bin)
{
    if (bin < 4)
        return bin;
    int exponent = (bin - 4) / 4 + 2;
    double width = std::ldexp(1.0, exponent - 2);
    return (4 + (bin - 4) % 4) * width + width / 2;
}

uint64_t ServiceSummary::wakeups() const
{
    uint64_t total = 0;
    for (uint64_t count : wake)
        total += count;
    return total;
}

std::optional<double> ServiceSummary::share() const
{
    if (wanted_ns == 0)
        return std::nullopt;
    return static_cast<double>(received_ns) / static_cast<double>(wanted_ns);
}

std::optional<double> ServiceSummary::wake_quantile_ms(double q) const
{
    uint64_t total = wakeups();
    if (total == 0)
        return std::nullopt;
    // Nearest rank: the first bin holding the ceil(q * total)-th slice.
    auto rank = static_cast<uint64_t>(std::ceil(std::clamp(q, 0.0, 1.0) * static_cast<double>(total)));
    rank = std::max<uint64_t>(rank, 1);
    uint64_t seen = 0;
    for (int bin = 0; bin < wake_bins; ++bin) {
        seen += wake[static_cast<std::size_t>(bin)];
        if (seen >= rank)
            return wake_bin_middle_us(bin) / 1000;
    }
    return wake_bin_middle_us(wake_bins - 1) / 1000;
}

void add_service(const ServiceRing& ring, int64_t now_ns, ServiceSummary& summary)
{
    uint32_t current = tag_of(now_ns);
    int window = std::clamp(summary.window_secs, 0, max_service_window);
    for (int back = 1; back <= window && static_cast<uint32_t>(back) < current; ++back) {
        uint32_t tag = current - static_cast<uint32_t>(back);
        const ServiceSecond& bucket = ring.second[tag % service_ring_seconds];
        if (load(bucket.tag) != tag)
            continue;
        uint64_t demand = load(bucket.demand_ns);
        uint64_t wanted = load(bucket.wanted_ns);
        uint64_t received = load(bucket.received_ns);
        std::array<uint16_t, wake_bins> wake{};
        for (int bin = 0; bin < wake_bins; ++bin)
            wake[static_cast<std::size_t>(bin)] = load(bucket.wake[bin]);
        std::atomic_thread_fence(std::memory_order_acquire);
        if (load(bucket.tag) != tag)
            continue;  // reused while we read it
        summary.demand_ns += demand;
        summary.wanted_ns += wanted;
        summary.received_ns += received;
        for (int bin = 0; bin < wake_bins; ++bin)
            summary.wake[static_cast<std::size_t>(bin)] += wake[static_cast<std::size_t>(bin)];
    }
}

}  // namespace vmmsim
