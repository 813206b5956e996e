#include "check_options.h"

#include <gtest/gtest.h>

#include "argv.h"

namespace {

ParsedCommandLine parse(Argv args) { return parse_check_options(args.argc(), args.argv()); }

const std::string period_error = "Wrong \"period\" parameter [1:]";
const std::string warning_error = "Wrong \"warning\" parameter [1:100]";
const std::string critical_error = "Wrong \"critical\" parameter [1:100]";
const std::string relation_error = "Incorrect parameter relation [\"warning\" > \"critical\"]";

TEST(CheckOptions, ShortAndLongFormsInCommandLineOrder)
{
    auto parsed = parse({"cpuslack", "-w", "20", "--critical", "5", "--period=3", "-w", "30"});
    EXPECT_FALSE(parsed.usage_requested);
    EXPECT_EQ(parsed.options.warning, 30);
    EXPECT_EQ(parsed.options.critical, 5);
    EXPECT_EQ(parsed.options.period, 3);

    parsed = parse({"cpuslack", "--warning", "40", "-c5", "stray", "-p", "7"});
    EXPECT_EQ(parsed.options.warning, 40);
    EXPECT_EQ(parsed.options.critical, 5);
    EXPECT_EQ(parsed.options.period, 7);
}

TEST(CheckOptions, DefaultsWhenNothingUsableIsGiven)
{
    testing::internal::CaptureStderr();
    const auto parsed = parse({"cpuslack", "--help", "-x", "-w"});
    const std::string diagnostics = testing::internal::GetCapturedStderr();
    EXPECT_FALSE(parsed.usage_requested);
    EXPECT_EQ(parsed.options.warning, 0);
    EXPECT_EQ(parsed.options.critical, 0);
    EXPECT_EQ(parsed.options.period, 5);
    EXPECT_NE(diagnostics.find("help"), std::string::npos) << diagnostics;
}

TEST(CheckOptions, NumbersReadLikeStrtolWithoutTrailingText)
{
    auto parsed = parse({"cpuslack", "-w", "15x", "-c", "abc", "-p", " -2"});
    EXPECT_EQ(parsed.options.warning, 15);
    EXPECT_EQ(parsed.options.critical, 0);
    EXPECT_EQ(parsed.options.period, -2);

    // "-period 10" is -p with the argument "eriod".
    parsed = parse({"cpuslack", "-w", "20", "-c", "5", "-period", "10"});
    EXPECT_EQ(parsed.options.period, 0);
    EXPECT_EQ(validate_check_options(parsed.options), period_error);
}

TEST(CheckOptions, NumbersBeyond32BitsDoNotWrapIntoRange)
{
    // 2^32 + 20 and 2^32 + 1 would become 20 and 1 if cut to 32 bits.
    const auto parsed =
        parse({"cpuslack", "-w", "4294967316", "-c", "99999999999999999999", "-p", "4294967297"});
    EXPECT_EQ(parsed.options.warning, 0);
    EXPECT_EQ(parsed.options.critical, 0);
    EXPECT_EQ(parsed.options.period, 0);
    EXPECT_EQ(parse({"cpuslack", "-w", "2147483647"}).options.warning, 2147483647);
    EXPECT_EQ(parse({"cpuslack", "-w", "-2147483648"}).options.warning, -2147483647 - 1);
}

TEST(CheckOptions, HelpActsAtOnceWherever)
{
    testing::internal::CaptureStderr();
    EXPECT_TRUE(parse({"cpuslack", "-h"}).usage_requested);
    EXPECT_TRUE(parse({"cpuslack", "-w", "0", "-p", "-1", "-h"}).usage_requested);
    // Nothing after -h is looked at, so the unknown option draws no complaint.
    EXPECT_TRUE(parse({"cpuslack", "-h", "--bogus", "-p"}).usage_requested);
    // Here h is the argument of -w, not an option.
    EXPECT_FALSE(parse({"cpuslack", "-c", "5", "-wh"}).usage_requested);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
}

TEST(CheckOptions, ParsingStartsAfreshEachTime)
{
    // A half-read cluster of short options must not leak into the next parse.
    testing::internal::CaptureStderr();
    parse({"cpuslack", "-hw", "10"});
    const auto parsed = parse({"cpuslack", "-c", "7"});
    testing::internal::GetCapturedStderr();
    EXPECT_EQ(parsed.options.warning, 0);
    EXPECT_EQ(parsed.options.critical, 7);
}

TEST(CheckOptions, ValidationTakesTheFirstFailureInOrder)
{
    struct Case {
        CheckOptions options;
        std::string error;
    };
    const Case cases[] = {
        {{}, warning_error},  // no options at all
        {{.warning = 20, .critical = 5, .period = 0}, period_error},
        {{.warning = 0, .critical = 0, .period = 0}, period_error},
        {{.warning = 0, .critical = 0, .period = -5}, period_error},
        {{.warning = 101, .critical = 5, .period = 5}, warning_error},
        {{.warning = 101, .critical = 200, .period = 5}, warning_error},
        {{.warning = 20, .critical = 0, .period = 5}, critical_error},
        {{.warning = 20, .critical = 101, .period = 5}, critical_error},
        {{.warning = 20, .critical = 20, .period = 5}, relation_error},
        {{.warning = 5, .critical = 20, .period = 5}, relation_error},
        {{.warning = 20, .critical = 5, .period = 1}, ""},
        {{.warning = 100, .critical = 1, .period = 5}, ""},
    };
    for (const auto& c : cases)
        EXPECT_EQ(validate_check_options(c.options), c.error)
            << "w=" << c.options.warning << " c=" << c.options.critical << " p=" << c.options.period;
}

TEST(CheckOptions, UsageLines)
{
    EXPECT_EQ(usage_text(), "Usage: cpuslack -w warn -c crit [-p sec]\n"
                            "       cpuslack --warning warn --critical crit [-period sec]\n");
}

}  // namespace
