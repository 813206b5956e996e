// CSV samples of a host's VMs: which rows are good, and how each bad one is
// named and skipped.
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "replay/sample_csv.h"

namespace {

constexpr int64_t second = 1'000'000'000;
constexpr int64_t may_day = 1714564800;  // 2024-05-01T12:00:00Z

struct Read {
    std::vector<Sample> samples;
    std::vector<std::string> messages;
    uint64_t skipped = 0;
};

Read read_files(const std::vector<SampleFile>& files)
{
    Read read;
    SampleRows rows(files, [&read](const std::string& message) { read.messages.push_back(message); });
    while (const Sample* sample = rows.next())
        read.samples.push_back(*sample);
    read.skipped = rows.skipped();
    return read;
}

}  // namespace

TEST(SampleCsv, EachBadRowIsNamedWithFileAndLineAndSkippedAndTheGoodOnesKept)
{
    const Read read = read_files({{"a.csv", "time,vm,vcpus,cpu_percent\n"
                                            "1714564800,web01,4,50\n"
                                            "1714564800,web01,4,60\n"
                                            "1714564800,web01,8,60\n"
                                            "1714564800,db01,2,250\n"
                                            "1714564800,db01,2,-1\n"
                                            "1714564860,db01,2,200,extra\n"
                                            "1714564860,db01\n"
                                            "yesterday,db01,2,10\n"
                                            "1714564860,,2,10\n"
                                            "1714564860,db01,0,10\n"
                                            "1714564860,db01,2,nan\n"
                                            "1714564860,\"db01,2,10\n"
                                            "   \n"
                                            "2024-05-01T12:01:00Z,db01,2,200\n"
                                            "1714564800,web01,4,10\n"
                                            "\"2024-05-01 12:01:00\",\"web01\",4,1e2\n"},
                                  {"b.csv", "time,vm,vcpus,cpu_percent\n1714564859.5,web01,4,10\n"}});
    const std::vector<std::string> expected = {
        "a.csv:3: VM web01 has a row at this time already; row skipped",
        "a.csv:4: VM web01 has 4 vCPUs in the sample of this time, not 8; row skipped",
        "a.csv:5: cpu_percent 250 lies outside 0..200, 100 x vcpus; row skipped",
        "a.csv:6: cpu_percent -1 lies outside 0..200, 100 x vcpus; row skipped",
        "a.csv:7: 5 columns where the header has 4; row skipped",
        "a.csv:8: 2 columns where the header has 4; row skipped",
        "a.csv:9: time 'yesterday' is neither Unix seconds nor ISO 8601; row skipped",
        "a.csv:10: the VM's name is empty or holds control characters; row skipped",
        "a.csv:11: vcpus '0' is not a whole number from 1 to 1024; row skipped",
        "a.csv:12: cpu_percent 'nan' is not a number; row skipped",
        "a.csv:13: a quote is not closed; row skipped",
        "a.csv:16: time goes back by 60 s; row skipped",
        // The series goes on across files.
        "b.csv:2: time goes back by 0.5 s; row skipped",
    };
    EXPECT_EQ(read.messages, expected);
    EXPECT_EQ(read.skipped, expected.size());
    ASSERT_EQ(read.samples.size(), 3u);
    EXPECT_EQ(read.samples[0].time_ns, may_day * second);
    EXPECT_EQ(read.samples[0].vm, "web01");
    EXPECT_EQ(read.samples[0].vcpus, 4);
    EXPECT_EQ(read.samples[0].percent, 50.0);
    EXPECT_EQ(read.samples[1].time_ns, (may_day + 60) * second);
    EXPECT_EQ(read.samples[1].vm, "db01");
    EXPECT_EQ(read.samples[1].percent, 200.0);
    EXPECT_EQ(read.samples[2].time_ns, (may_day + 60) * second);
    EXPECT_EQ(read.samples[2].vm, "web01");
    EXPECT_EQ(read.samples[2].percent, 100.0);
}

TEST(SampleCsv, HeadersAndWholeFilesThatCannotBeRead)
{
    std::string noisy = "time,vm,vcpus,cpu_percent\n";
    for (int i = 0; i < 13; ++i)
        noisy += "then,vm,1,1\n";
    const Read read = read_files({
        {"empty.csv", ""},
        {"lacking.csv", "time,vm,cpu_percent\n1714564800,a,10\n1714564801,a,10\n"},
        {"twice.csv", "time,vm,VM,vcpus,cpu_percent\n"},
        // Any order and case, quotes, other columns, a byte-order mark and
        // CRLF line ends.
        {"other.csv", "\xEF\xBB\xBF\"CPU_Percent\",host,Time,vm,vcpus\r\n12.5,h1,1714564800,a,1\r\n"},
        {"header_only.csv", "time,vm,vcpus,cpu_percent\n\n"},
        {"noisy.csv", noisy},
    });
    const std::vector<std::string> expected = {
        "empty.csv:1: empty file; skipped",
        "lacking.csv:1: the header names no column 'vcpus' (it needs time, vm, vcpus and cpu_percent); "
        "file skipped",
        "twice.csv:1: column 'vm' is named twice; file skipped",
        "other.csv:1: column 'host' is unknown; passed over",
        "header_only.csv:2: no rows after the header",
    };
    ASSERT_GE(read.messages.size(), expected.size() + 11);
    EXPECT_EQ(std::vector<std::string>(read.messages.begin(), read.messages.begin() + 5), expected);
    // Of one kind of fault ten are named, the rest counted.
    EXPECT_EQ(read.messages[5], "noisy.csv:2: time 'then' is neither Unix seconds nor ISO 8601; row skipped");
    EXPECT_EQ(read.messages.back(),
              "noisy.csv:14: 3 more rows skipped for fields that do not read, the first on line 12");
    EXPECT_EQ(read.messages.size(), expected.size() + 11);
    // The empty file, the lacking header with its two rows, the header named
    // twice, and the noisy rows.
    EXPECT_EQ(read.skipped, 1u + 3u + 1u + 13u);
    ASSERT_EQ(read.samples.size(), 1u);
    EXPECT_EQ(read.samples[0].vm, "a");
    EXPECT_EQ(read.samples[0].percent, 12.5);
    EXPECT_EQ(read.samples[0].time_ns, may_day * second);
}

TEST(SampleCsv, TimesInUnixSecondsAndIso8601Alike)
{
    for (const char* text :
         {"1714564800", "2024-05-01T12:00:00Z", "2024-05-01 12:00:00", "2024-05-01t14:00:00+02:00",
          "2024-05-01T07:00:00-0500", "2024-05-01T12:00Z", "2024-05-01T13:00:00+01"})
        EXPECT_EQ(parse_sample_time(text), may_day * second) << text;
    EXPECT_EQ(parse_sample_time("1714564800.25"), may_day * second + second / 4);
    EXPECT_EQ(parse_sample_time("2024-05-01T12:00:00,250000000999Z"), may_day * second + second / 4);
    EXPECT_EQ(parse_sample_time("1970-01-01T00:00:00Z"), 0);
    for (const char* text : {"", "-5", "1714564800.", ".5", "17145648000000", "2024-02-30T00:00:00Z",
                             "2024-05-01T24:00:00Z", "2024-05-01T12:00:00+2", "2024-05-01T12:00:00 Z",
                             "2024-05-01", "1969-12-31T23:59:59Z", "2300-01-01T00:00:00Z", "0x10"})
        EXPECT_FALSE(parse_sample_time(text).has_value()) << text;
}
