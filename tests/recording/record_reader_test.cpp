// Record files as they may be found: cut, damaged, mixed with garbage, from
// a newer version. Each fault gets one message naming file and line; the
// valid records are read.
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "gzip/gzip_deflate.h"
#include "read_text.h"
#include "recording/gzip_appender.h"
#include "recording/record_reader.h"
#include "temp_dir.h"

namespace {

const std::string header =
    "H 1 version=t reason=start cpus=2 pid=9 update_time=1000 steady=0 wall=0 settings=";

std::string keyframe(int seq, int64_t clock)
{
    return "K " + std::to_string(seq) + " " + std::to_string(clock) + " wall=" + std::to_string(clock) +
           " C=100,0,0,0,100 k=100,25,30 5:4:vm c1 T0:1000/0";
}

std::string delta(int seq, int64_t step = 1'000'000'000)
{
    return "T " + std::to_string(seq) + " " + std::to_string(step) +
           " c=50,0,0,0,50 k=100,25,30 5 c1 t1000/0";
}

struct Read {
    Recording recording;
    std::vector<std::string> messages;
    uint64_t skipped = 0;
};

Read read_path(const std::string& path)
{
    Read r;
    RecordReader reader([&r](const std::string& message) { r.messages.push_back(message); });
    reader.read(path, r.recording);
    r.skipped = reader.skipped();
    return r;
}

std::vector<uint64_t> sequence(const Recording& recording)
{
    std::vector<uint64_t> seqs;
    for (const TickRow& tick : recording.ticks)
        seqs.push_back(tick.seq);
    return seqs;
}

// Writes members of `lines` each, as the daemon does.
void write_gzip(const std::string& path, const std::vector<std::vector<std::string>>& members)
{
    GzipAppender file;
    ASSERT_TRUE(file.open(path)) << file.error();
    for (const auto& member : members) {
        file.begin_member();
        for (const std::string& line : member)
            file.add(line + "\n");
    }
    file.close();
}

}  // namespace

TEST(RecordReader, LineFaultsAreToldOnceEachAndTheValidRecordsRead)
{
    TempDir dir;
    const std::string path =
        dir.write("record", header + "\n" + keyframe(0, 1'000'000'000) + "\n" + delta(1) + "\n" +
                                "this is no record\n" + delta(2) + "\n" + delta(3, -500'000'000) +
                                "\n" +                               // line 6: steps back
                                delta(4) + "\n" + delta(5) + "\n" +  // no base any more
                                keyframe(6, 9'000'000'000) + "\n" + delta(7) + " zz=1\n" +
                                "H 2 version=t reason=reload steady=9 wall=9 colour=red settings=\n" +
                                keyframe(8, 12'000'000'000) + "\n" + delta(9).substr(0, 20));
    const Read r = read_path(path);
    EXPECT_EQ(sequence(r.recording), (std::vector<uint64_t>{0, 1, 2, 6, 7, 8}));
    EXPECT_EQ(r.recording.headers.size(), 2u);
    EXPECT_EQ(r.skipped, 5u);  // garbage, step back, two without base, the cut line
    EXPECT_EQ(r.messages, (std::vector<std::string>{
                              path + ":4: not a record; record skipped",
                              path + ":6: clock steps back by 0.500 s; record skipped",
                              path + ":7: record follows no record it can be read against; skipped up to the "
                                     "next keyframe",
                              path + ":10: field 'zz' is unknown (a newer format?); passed over",
                              path + ":11: field 'colour' is unknown (a newer format?); passed over",
                              path + ":11: recording format 2 is newer than this program's (1); what it does "
                                     "not know is passed over",
                              path + ":13: last record cut short; skipped",
                          }));
}

TEST(RecordReader, DamagedAndCutGzipLosesOnlyUpToTheNextMember)
{
    TempDir dir;
    const std::string path = dir.file("record.gz");
    write_gzip(path, {{header, keyframe(0, 1'000'000'000), delta(1)},
                      {keyframe(2, 3'000'000'000), delta(3), delta(4)},
                      {keyframe(5, 6'000'000'000), delta(6)}});
    // zcat-compatible as written.
    Read clean = read_path(path);
    EXPECT_EQ(sequence(clean.recording), (std::vector<uint64_t>{0, 1, 2, 3, 4, 5, 6}));
    EXPECT_TRUE(clean.messages.empty());

    // Damage the second member's compressed data.
    std::string bytes = read_text(path);
    const size_t second = bytes.find("\x1f\x8b\x08", 3);
    ASSERT_NE(second, std::string::npos);
    for (size_t i = second + 12; i < second + 20; ++i)
        bytes[i] = static_cast<char>(bytes[i] ^ 0x5a);
    // And cut the last member short.
    bytes.resize(bytes.size() - 12);
    dir.write("damaged.gz", bytes);
    const Read r = read_path(dir.file("damaged.gz"));
    ASSERT_FALSE(r.messages.empty());
    EXPECT_NE(r.messages[0].find("damaged.gz:"), std::string::npos) << r.messages[0];
    EXPECT_NE(r.messages[0].find("compressed data damaged"), std::string::npos) << r.messages[0];
    EXPECT_NE(r.messages.back().find("compressed data cut short"), std::string::npos) << r.messages.back();
    // The first member whole, the third from its keyframe on as far as it goes.
    const std::vector<uint64_t> seqs = sequence(r.recording);
    ASSERT_GE(seqs.size(), 3u);
    EXPECT_EQ(std::vector<uint64_t>(seqs.begin(), seqs.begin() + 2), (std::vector<uint64_t>{0, 1}));
    EXPECT_EQ(seqs[2], 5u);
    EXPECT_GE(r.skipped, 1u);
}

TEST(RecordReader, ADaemonKilledMidMemberLosesNothingOfTheNextStart)
{
    TempDir dir;
    const std::string path = dir.file("record.gz");
    write_gzip(path, {{header, keyframe(0, 1'000'000'000), delta(1)}});
    // Killed: the member in progress ends where its last flush left it.
    std::string cut;
    GzipDeflate deflate;
    deflate.add(keyframe(2, 3'000'000'000) + "\n" + delta(3) + "\n", cut);
    deflate.sync(cut);
    dir.write("record.gz", read_text(path) + cut);
    // Started again on the same file, with a clock that starts lower.
    const std::string restart =
        "H 1 version=t reason=start cpus=2 pid=10 update_time=1000 steady=0 wall=0 settings=";
    write_gzip(path, {{restart, keyframe(0, 500'000'000), delta(1)}, {keyframe(2, 2'500'000'000), delta(3)}});

    const Read r = read_path(path);
    EXPECT_EQ(sequence(r.recording), (std::vector<uint64_t>{0, 1, 2, 3, 0, 1, 2, 3}));
    ASSERT_EQ(r.recording.headers.size(), 2u);
    EXPECT_EQ(r.recording.headers[1].pid, 10);
    EXPECT_EQ(r.recording.ticks[4].header, 1u);
    EXPECT_EQ(r.skipped, 1u);
    EXPECT_EQ(r.messages,
              (std::vector<std::string>{path + ":6: compressed data cut short where the next gzip "
                                               "member begins (a crash?); read on from there"}));
}
