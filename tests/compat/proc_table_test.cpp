#include "proc_table.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstring>
#include <set>
#include <string>

#include "proc_read.h"
#include "temp_dir.h"

namespace {

bool parse(const std::string& text, compat::StatLine& out)
{
    return compat::parse_stat_line(text.data(), text.size(), out);
}

}  // namespace

TEST(ProcStat, NameMayHoldBlanksAndParentheses)
{
    compat::StatLine line;
    ASSERT_TRUE(parse("4321 (a) b (c) S 812 812 812 0 -1 4194560 10 0 0 0 250 50 0 0 20 0 5\n", line));
    EXPECT_EQ(line.pid, 4321);
    EXPECT_STREQ(line.comm, "a) b (c");
    EXPECT_EQ(line.ppid, 812);
    EXPECT_EQ(line.pgid, 812);
    EXPECT_EQ(line.utime, 250u);
    EXPECT_EQ(line.stime, 50u);

    compat::ProcessRow row = compat::make_process_row(line);
    EXPECT_EQ(row.ppid, 812);
    EXPECT_STREQ(row.comm, "a) b (c");
}

TEST(ProcStat, KernelThreadsGetParentZero)
{
    compat::StatLine line;
    ASSERT_TRUE(
        parse("57 (kworker/u16:0-events_unbound) I 2 0 0 0 -1 69238880 0 0 0 0 3 9 0 0 20 0\n", line));
    EXPECT_EQ(line.ppid, 2);
    compat::ProcessRow row = compat::make_process_row(line);
    EXPECT_EQ(row.ppid, 0);
    // Cut to the kernel's command-name length, still terminated.
    EXPECT_EQ(std::strlen(row.comm), static_cast<size_t>(COMMLEN));
}

TEST(ProcStat, RejectsBrokenLines)
{
    compat::StatLine line;
    EXPECT_FALSE(parse("", line));
    EXPECT_FALSE(parse("12 (x S 1 1 1 0 -1 0 0 0 0 0 1 1\n", line));                     // name never closed
    EXPECT_FALSE(parse("12 (x) S 1 1 1 0 -1 0 0 0 0\n", line));                          // cut short
    EXPECT_FALSE(parse("x1 (x) S 1 1 1 0 -1 0 0 0 0 0 1 1\n", line));                    // no pid
    EXPECT_FALSE(parse("-9223372036854775808 (x) S 1 1 1 0 -1 0 0 0 0 0 1 1\n", line));  // no pid_t
}

// /proc on a busy host takes several reads of the entry buffer.
TEST(ListDirectory, EveryEntryOnceAcrossManyReadsWithItsInode)
{
    TempDir dir;
    std::set<std::string> made;
    for (int i = 0; i < 1500; ++i) {
        const std::string name = "entry-with-a-longish-name-" + std::to_string(i);
        dir.write(name, "");
        made.insert(name);
    }
    struct stat first {};
    ASSERT_EQ(stat(dir.file(*made.begin()).c_str(), &first), 0);

    std::multiset<std::string> seen;
    ino_t first_ino = 0;
    ASSERT_TRUE(compat::list_directory(AT_FDCWD, dir.path().c_str(), [&](const char* name, ino_t ino) {
        seen.insert(name);
        if (name == *made.begin())
            first_ino = ino;
    }));
    seen.erase(".");
    seen.erase("..");
    EXPECT_EQ(seen.size(), made.size());
    EXPECT_EQ(std::set<std::string>(seen.begin(), seen.end()), made);
    EXPECT_EQ(first_ino, first.st_ino);

    errno = 0;
    EXPECT_FALSE(compat::list_directory(AT_FDCWD, dir.file("missing").c_str(), [](const char*, ino_t) {}));
    EXPECT_EQ(errno, ENOENT);
}
