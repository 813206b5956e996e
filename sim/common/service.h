// The service a vCPU got from the host: per slice, the CPU time it wanted
// against the CPU time its thread really used, and how late the slice began
// (its wake-up delay). Each vCPU thread is the only writer of its own ring of
// per-second buckets in the VM's shared state, so any process can sum the
// last seconds without a lock; a reader drops a bucket it saw being reused.
#pragma once

#include <array>
#include <cstdint>
#include <optional>

namespace vmmsim {

inline constexpr int service_ring_seconds = 128;
// The longest window a reader may sum: the ring less the seconds a slow
// reader could see being overwritten.
inline constexpr int max_service_window = 120;
// Wake-up delays in log-scale bins of microseconds: exact below 4 us, then
// four bins per doubling, the last one open-ended (from about 29 s).
inline constexpr int wake_bins = 96;

struct ServiceSecond {
    uint32_t tag;  // the monotonic second it holds, plus one; 0 while empty or being reused
    uint32_t reserved;
    uint64_t demand_ns;        // CPU time the guest wanted
    uint64_t wanted_ns;        // of that, what its class's rate limit allowed
    uint64_t received_ns;      // CPU time the thread used, at most what was allowed
    uint16_t wake[wake_bins];  // slices by how late they began (at most 100 slices a second)
};

struct ServiceRing {
    ServiceSecond second[service_ring_seconds];
};

// One slice as its vCPU saw it.
struct SliceService {
    int64_t demand_ns;
    int64_t wanted_ns;      // the demand capped by the class's rate limit
    int64_t used_ns;        // the thread's CPU time in the slice
    int64_t wake_delay_ns;  // how late the slice began; negative when it had nothing to run
};

// Adds a slice that ended at `now_ns` (CLOCK_MONOTONIC) to its second's
// bucket. Only the vCPU's own thread may call it.
void record_slice(ServiceRing& ring, int64_t now_ns, const SliceService& slice);
// Empties the ring; only while no thread writes it.
void clear_service(ServiceRing& ring);

int wake_bin(int64_t delay_us);
// The middle of a bin, in microseconds.
double wake_bin_middle_us(int bin);

struct ServiceSummary {
    int window_secs = 0;
    uint64_t demand_ns = 0;
    uint64_t wanted_ns = 0;
    uint64_t received_ns = 0;
    std::array<uint64_t, wake_bins> wake{};

    uint64_t wakeups() const;
    // Received over wanted, 0..1; none when nothing was wanted.
    std::optional<double> share() const;
    // The delay below which a share `q` (0..1) of the slices began, in
    // milliseconds (the middle of its bin); none without slices.
    std::optional<double> wake_quantile_ms(double q) const;
};

// Adds what `ring` holds for the `summary.window_secs` whole seconds before
// the second of `now_ns`.
void add_service(const ServiceRing& ring, int64_t now_ns, ServiceSummary& summary);

}  // namespace vmmsim
