#include "runtime/driver.h"

#include <filesystem>
#include <stdexcept>
#include <fcntl.h>
#include <fstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "runtime/loop_guard.h"
#include "log_capture.h"
#include "temp_dir.h"

namespace {

// A Driver on a private loop that collects what it drains; every run of the
// loop ends after at most `seconds`.
class DriverOnLoop {
    // Declared first: the loop must outlive the Driver's watchers.
    ev::dynamic_loop loop_;
    ev::timer deadline_;

public:
    explicit DriverOnLoop(const std::string& path) : loop_(0), deadline_(loop_)
    {
        driver.attach(loop_);
        driver.handler = [this](const std::string& text) {
            texts.push_back(text);
            loop_.break_loop(ev::ONE);
        };
        opened = driver.fifo_open(path);
        deadline_.set<DriverOnLoop, &DriverOnLoop::on_deadline>(this);
    }

    void run(double seconds)
    {
        // The loop's clock stands still between runs; a stale one would let
        // the deadline fire before the first drain.
        ev_now_update(loop_);
        deadline_.start(seconds, 0.0);
        run_guarded(loop_);
        deadline_.stop();
    }

    Driver driver;
    bool opened = false;
    std::vector<std::string> texts;

private:
    void on_deadline(ev::timer&, int) { loop_.break_loop(ev::ONE); }
};

}  // namespace

TEST(Driver, DrainsARequestLongerThanOneReadWhole)
{
    TempDir dir;
    const std::string path = dir.file("pipe");
    DriverOnLoop server(path);
    ASSERT_TRUE(server.opened);

    const std::string request(3000, 'r');
    Fifo requester(FifoMode::Write, path);
    ASSERT_EQ(requester.write(request), 3000);
    requester.close();
    server.run(5.0);
    ASSERT_EQ(server.texts.size(), 1u);
    EXPECT_EQ(server.texts[0], request);

    // The keep-alive writer holds the pipe open: after the requester closed
    // its end the loop waits quietly instead of seeing end-of-file.
    server.run(0.2);
    EXPECT_EQ(server.texts.size(), 1u);
}

// Texts near the limit only fit into the pipe before a drain when it is enlarged.
bool enlarge_pipe(const Fifo& end)
{
    return fcntl(end.fd, F_SETPIPE_SZ, static_cast<int>(4 * Driver::max_request)) >= 0;
}

TEST(Driver, TakesExactlyTheLimitAndDropsOneByteMore)
{
    TempDir dir;
    const std::string path = dir.file("pipe");
    DriverOnLoop server(path);
    ASSERT_TRUE(server.opened);
    Fifo requester(FifoMode::Write, path);
    ASSERT_TRUE(enlarge_pipe(requester));
    LogCapture log;

    const std::string at_limit(Driver::max_request, 'a');
    ASSERT_EQ(requester.write(at_limit), static_cast<ssize_t>(at_limit.size()));
    server.run(5.0);
    ASSERT_EQ(server.texts.size(), 1u);
    EXPECT_EQ(server.texts[0].size(), Driver::max_request);

    const std::string over(Driver::max_request + 1, 'b');
    ASSERT_EQ(requester.write(over), static_cast<ssize_t>(over.size()));
    server.run(0.5);
    EXPECT_EQ(server.texts.size(), 1u);
    EXPECT_NE(log.text().find("[CLI] Request of more than 65536 bytes dropped"), std::string::npos);

    // Nothing of the dropped text is left over to spoil the next request.
    ASSERT_GT(requester.write("{\"cmd\":\"next\"}"), 0);
    server.run(5.0);
    ASSERT_EQ(server.texts.size(), 2u);
    EXPECT_EQ(server.texts[1], "{\"cmd\":\"next\"}");
}

TEST(Driver, DropsAnOversizedRequestWholeWithOneLine)
{
    TempDir dir;
    const std::string path = dir.file("pipe");
    DriverOnLoop server(path);
    ASSERT_TRUE(server.opened);
    Fifo requester(FifoMode::Write, path);
    // Larger than one drain reads, and all in the pipe before the first one
    // (1 MiB is the largest pipe an unprivileged process may ask for).
    constexpr std::size_t pipe_size = 1 << 20;
    static_assert(pipe_size > 2 * Driver::drop_per_drain);
    if (fcntl(requester.fd, F_SETPIPE_SZ, static_cast<int>(pipe_size)) < 0)
        GTEST_SKIP() << "the pipe cannot be enlarged to " << pipe_size << " bytes";
    LogCapture log;

    const std::string huge(pipe_size, '[');
    ASSERT_EQ(requester.write(huge), static_cast<ssize_t>(huge.size()));
    for (int run = 0; run < 8; ++run)
        server.run(0.1);
    EXPECT_TRUE(server.texts.empty());
    std::size_t lines = 0;
    for (std::size_t at = log.text().find("bytes dropped"); at != std::string::npos;
         at = log.text().find("bytes dropped", at + 1))
        ++lines;
    EXPECT_EQ(lines, 1u) << log.text().substr(0, 500);

    // Once the pipe was empty, the next text is a request again.
    ASSERT_GT(requester.write("{\"cmd\":\"next\"}"), 0);
    server.run(5.0);
    ASSERT_EQ(server.texts.size(), 1u);
    EXPECT_EQ(server.texts[0], "{\"cmd\":\"next\"}");
}

TEST(Driver, CloseRemovesItsOwnPipeButNeverAnotherFile)
{
    TempDir dir;
    const std::string path = dir.file("pipe");
    {
        DriverOnLoop server(path);
        ASSERT_TRUE(server.opened);
        server.driver.fifo_close();
        EXPECT_FALSE(std::filesystem::exists(path));
    }

    const std::string file = dir.file("regular");
    {
        std::ofstream(file) << "data";
    }
    DriverOnLoop refused(file);
    EXPECT_FALSE(refused.opened);
    EXPECT_EQ(refused.driver.reader.error, Fifo::not_a_fifo);
    refused.driver.fifo_close();
    EXPECT_TRUE(std::filesystem::is_regular_file(file));
}

TEST(Driver, AnErrorInTheHandlerEndsTheLoopRunAsAnException)
{
    TempDir dir;
    const std::string path = dir.file("pipe");
    DriverOnLoop server(path);
    ASSERT_TRUE(server.opened);
    server.driver.handler = [](const std::string&) { throw std::runtime_error("handler failed"); };
    Fifo requester(FifoMode::Write, path);
    ASSERT_GT(requester.write("x"), 0);
    try {
        server.run(5.0);
        FAIL() << "the error was lost";
    } catch (const std::runtime_error& error) {
        EXPECT_STREQ(error.what(), "handler failed");
    }
    // Nothing is left parked: the next run is an ordinary one.
    EXPECT_NO_THROW(server.run(0.05));
}
