#include "runtime/fifo.h"
#include "runtime/reply_path.h"

#include <cerrno>
#include <csignal>
#include <ctime>
#include <fstream>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "temp_dir.h"

namespace {

std::string read_file(const std::string& path)
{
    std::ifstream in(path);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

bool sigpipe_pending()
{
    sigset_t pending;
    sigpending(&pending);
    return sigismember(&pending, SIGPIPE) == 1;
}

}  // namespace

TEST(FifoPath, DaemonAndReplyPipes)
{
    EXPECT_EQ(fifo_path("halvorn", false), "/var/run/halvorn.cli.fifo");
    EXPECT_EQ(fifo_path("halvorn", true), "/var/run/halvorn.cli.fifo." + std::to_string(getpid()));
}

TEST(Fifo, ReadModeCreatesAPipeAndWriteModeNeedsAReader)
{
    TempDir dir;
    const std::string path = dir.file("p");

    Fifo lonely(FifoMode::Write, path);
    EXPECT_FALSE(lonely.is_open());
    EXPECT_EQ(lonely.error, ENOENT);

    Fifo reader(FifoMode::Read, path);
    ASSERT_TRUE(reader.is_open());
    EXPECT_EQ(reader.error, 0);
    struct stat st {};
    ASSERT_EQ(stat(path.c_str(), &st), 0);
    EXPECT_TRUE(S_ISFIFO(st.st_mode));
    EXPECT_EQ(st.st_mode & 0077 & ~0660, 0u);  // never wider than 0660

    // An existing pipe is reused.
    Fifo again(FifoMode::Read, path);
    EXPECT_TRUE(again.is_open());

    Fifo writer(FifoMode::Write, path);
    ASSERT_TRUE(writer.is_open());
    EXPECT_EQ(writer.write("hello"), 5);
    char buffer[16] = {};
    EXPECT_EQ(read(reader.fd, buffer, sizeof buffer), 5);

    reader.close();
    again.close();
    EXPECT_EQ(reader.fd, -1);
    Fifo unread(FifoMode::Write, path);
    EXPECT_FALSE(unread.is_open());
    EXPECT_EQ(unread.error, ENXIO);

    Fifo empty;
    EXPECT_FALSE(empty.open(FifoMode::Read, ""));
    EXPECT_EQ(empty.error, 0);
    EXPECT_EQ(empty.write("x"), 0);
}

TEST(Fifo, RefusesEverythingButAPipeAndLeavesItAlone)
{
    TempDir dir;
    const std::string file = dir.file("regular");
    {
        std::ofstream(file) << "keep me";
    }
    const std::string socket_path = dir.file("socket");
    const int sock = socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    socket_path.copy(address.sun_path, sizeof address.sun_path - 1);
    ASSERT_EQ(bind(sock, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);

    for (const std::string& path : {file, dir.file(""), std::string("/dev/null"), socket_path}) {
        for (FifoMode mode : {FifoMode::Read, FifoMode::Write}) {
            Fifo fifo(mode, path);
            EXPECT_FALSE(fifo.is_open()) << path;
            EXPECT_EQ(fifo.error, Fifo::not_a_fifo) << path;
            EXPECT_EQ(fifo.error_text(), "Not a FIFO");
            EXPECT_EQ(fifo.write("overwritten"), 0);
        }
    }
    close(sock);
    EXPECT_EQ(read_file(file), "keep me");

    // A symbolic link to a regular file is no way around the check.
    const std::string link = dir.file("link");
    ASSERT_EQ(symlink(file.c_str(), link.c_str()), 0);
    Fifo via_link(FifoMode::Write, link);
    EXPECT_FALSE(via_link.is_open());
    EXPECT_EQ(read_file(file), "keep me");
}

TEST(Fifo, WriteToAVanishedReaderFailsWithoutSigpipe)
{
    TempDir dir;
    const std::string path = dir.file("p");
    auto reader = std::make_unique<Fifo>(FifoMode::Read, path);
    Fifo writer(FifoMode::Write, path);
    ASSERT_TRUE(writer.is_open());
    reader.reset();

    // SIGPIPE keeps its default action: if it were delivered, the test dies.
    EXPECT_EQ(writer.write("reply"), -1);
    EXPECT_EQ(writer.error, EPIPE);
    EXPECT_FALSE(writer.is_open());
    EXPECT_FALSE(sigpipe_pending());

    sigset_t mask;
    EXPECT_EQ(pthread_sigmask(SIG_BLOCK, nullptr, &mask), 0);
    EXPECT_EQ(sigismember(&mask, SIGPIPE), 0) << "the mask is restored";
}

TEST(Fifo, ASigpipePendingBeforeTheWriteIsNotSwallowed)
{
    TempDir dir;
    const std::string path = dir.file("p");
    auto reader = std::make_unique<Fifo>(FifoMode::Read, path);
    Fifo writer(FifoMode::Write, path);
    reader.reset();

    sigset_t pipe_only;
    sigset_t old_mask;
    sigemptyset(&pipe_only);
    sigaddset(&pipe_only, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &pipe_only, &old_mask);
    pthread_kill(pthread_self(), SIGPIPE);
    ASSERT_TRUE(sigpipe_pending());

    EXPECT_EQ(writer.write("reply"), -1);
    EXPECT_EQ(writer.error, EPIPE);
    EXPECT_TRUE(sigpipe_pending());

    const timespec no_wait{0, 0};
    while (sigtimedwait(&pipe_only, nullptr, &no_wait) == SIGPIPE) {
    }
    pthread_sigmask(SIG_SETMASK, &old_mask, nullptr);
}
