// The service ring: what a window of whole seconds sums, and the wake-up
// delay quantiles from its log-scale bins.
#include <gtest/gtest.h>

#include <cmath>
#include <memory>

#include "common/service.h"

namespace vmmsim {
namespace {

constexpr int64_t second = 1'000'000'000;
constexpr int64_t ms = 1'000'000;

TEST(WakeBins, ExactBelowFourMicrosecondsThenWithinAnEighthOfTheValue)
{
    EXPECT_EQ(wake_bin(-5), 0);
    for (int us = 0; us < 4; ++us)
        EXPECT_EQ(wake_bin_middle_us(wake_bin(us)), us);
    int last = 0;
    for (int64_t us = 4; us < 20 * second / 1000; us += us / 7 + 1) {
        int bin = wake_bin(us);
        EXPECT_GE(bin, last) << us;
        last = bin;
        double middle = wake_bin_middle_us(bin);
        EXPECT_LE(std::abs(middle - static_cast<double>(us)), 0.125 * static_cast<double>(us) + 0.5) << us;
    }
    // A process stopped for minutes lands in the last bin, not beyond it.
    EXPECT_EQ(wake_bin(int64_t{1} << 40), wake_bins - 1);
}

TEST(ServiceRing, AWindowSumsTheWholeSecondsBeforeNowOnly)
{
    auto ring = std::make_unique<ServiceRing>();
    const int64_t start = 1000 * second;
    // One slice a second for ten seconds: wanted 10 ms, got 6 ms, 2 ms late.
    for (int i = 0; i < 10; ++i)
        record_slice(*ring, start + i * second + 500 * ms, {20 * ms, 10 * ms, 6 * ms, 2 * ms});
    // A slice that used more than it wanted counts as getting what it wanted;
    // one with nothing to run has no wake-up.
    record_slice(*ring, start + 9 * second + 600 * ms, {10 * ms, 10 * ms, 12 * ms, -1});

    ServiceSummary last3{.window_secs = 3};
    add_service(*ring, start + 10 * second + 100 * ms, last3);
    EXPECT_EQ(last3.wanted_ns, static_cast<uint64_t>(40 * ms));
    EXPECT_EQ(last3.received_ns, static_cast<uint64_t>(28 * ms));
    EXPECT_EQ(last3.demand_ns, static_cast<uint64_t>(70 * ms));
    EXPECT_EQ(last3.wakeups(), 3u);
    EXPECT_NEAR(*last3.share(), 0.7, 1e-9);

    // The current second is not whole yet: at 9.9 s the window ends at 9 s.
    ServiceSummary partial{.window_secs = 3};
    add_service(*ring, start + 9 * second + 900 * ms, partial);
    EXPECT_EQ(partial.wakeups(), 3u);
    EXPECT_EQ(partial.wanted_ns, static_cast<uint64_t>(30 * ms));

    // Ring-sized later, every bucket holds another second: nothing is counted twice.
    ServiceSummary later{.window_secs = max_service_window};
    add_service(*ring, start + (service_ring_seconds + 5) * second, later);
    EXPECT_EQ(later.wakeups(), 0u);
    EXPECT_FALSE(later.share());
    EXPECT_FALSE(later.wake_quantile_ms(0.99));

    // A bucket reused for a new second starts from zero.
    record_slice(*ring, start + service_ring_seconds * second + 500 * ms, {5 * ms, 5 * ms, 5 * ms, 0});
    ServiceSummary reused{.window_secs = 1};
    add_service(*ring, start + (service_ring_seconds + 1) * second, reused);
    EXPECT_EQ(reused.wanted_ns, static_cast<uint64_t>(5 * ms));
    EXPECT_EQ(reused.wakeups(), 1u);

    clear_service(*ring);
    ServiceSummary cleared{.window_secs = 1};
    add_service(*ring, start + (service_ring_seconds + 1) * second, cleared);
    EXPECT_EQ(cleared.wanted_ns, 0u);
}

TEST(ServiceRing, QuantilesTakeTheNearestRankOfTheDelays)
{
    auto ring = std::make_unique<ServiceRing>();
    const int64_t at = 50 * second;
    // 100 slices: 98 began within 100 us, one 5 ms late, one 40 ms late.
    for (int i = 0; i < 98; ++i)
        record_slice(*ring, at + i * ms, {ms, ms, ms, 100'000});
    record_slice(*ring, at + 98 * ms, {ms, ms, ms, 5 * ms});
    record_slice(*ring, at + 99 * ms, {ms, ms, ms, 40 * ms});
    ServiceSummary summary{.window_secs = 1};
    add_service(*ring, at + second, summary);
    ASSERT_EQ(summary.wakeups(), 100u);
    EXPECT_NEAR(*summary.wake_quantile_ms(0.5), 0.1, 0.0125);
    EXPECT_NEAR(*summary.wake_quantile_ms(0.99), 5, 0.625);
    EXPECT_NEAR(*summary.wake_quantile_ms(1.0), 40, 5);
    EXPECT_NEAR(*summary.share(), 1.0, 1e-9);
}

}  // namespace
}  // namespace vmmsim
