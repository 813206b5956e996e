#include <gtest/gtest.h>

#include <limits>

#include <fmt/format.h>

#include "controller/rate_limit_class.h"

TEST(RateLimitClassTest, PlaceholdersPrintTheDisplayName)
{
    EXPECT_EQ(fmt::format("{}", RateLimitClass::Error), "RateLimitClass::Error");
    EXPECT_EQ(fmt::format("{}", RateLimitClass(2)), "RateLimitClass::Mainer");
    EXPECT_EQ(fmt::format("{}|{}", RateLimitClass::Class9, RateLimitClass::Service),
              "RateLimitClass::Class9|RateLimitClass::Service");
    EXPECT_EQ(fmt::format("[{}][{}][{}][{}]", RateLimitClass(10), RateLimitClass(-2),
                          RateLimitClass(std::numeric_limits<int>::max()),
                          RateLimitClass(std::numeric_limits<int>::min())),
              "[][][][]");
    EXPECT_EQ(fmt::format("{:>30}", RateLimitClass::Normal),
              "RateLimitClass::Normal");  // options not applied
}
