#include "runtime/atomic_file.h"

#include <filesystem>
#include <string>

#include <sys/stat.h>

#include <gtest/gtest.h>

#include "read_text.h"
#include "temp_dir.h"

namespace fs = std::filesystem;

TEST(ReplaceFile, ReplacesWholeWithTheModeAndLeavesNothingElse)
{
    TempDir dir;
    const std::string path = dir.write("halvorn.prom", std::string(100000, 'x'));
    EXPECT_EQ(replace_file(path, "new\n", 0640), "");
    EXPECT_EQ(read_text(path), "new\n");
    struct stat st {};
    ASSERT_EQ(stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0640u);
    EXPECT_EQ(std::distance(fs::directory_iterator(dir.path()), fs::directory_iterator()), 1);

    // No directory to put it in: a reason, and still nothing left behind.
    const std::string failure = replace_file(dir.file("gone/halvorn.prom"), "text");
    EXPECT_TRUE(failure.starts_with("cannot create a file next to it: ")) << failure;
    EXPECT_EQ(std::distance(fs::directory_iterator(dir.path()), fs::directory_iterator()), 1);
}
