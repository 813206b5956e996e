// halvorn started with a command word: the client of the daemon's pipe.
#include <string>

#include <sys/stat.h>

#include "e2e_fixture.h"
#include "runtime/fifo.h"

namespace {

std::string request_line(const std::string& arg, const std::string& cmd, int pid)
{
    return "REQUEST: {\"arg\":\"" + arg + "\",\"cmd\":\"" + cmd + "\",\"fifo\":\"" + daemon_pipe + "." +
           std::to_string(pid) + "\"}\n";
}

// The client's own output, without the configuration notice before it.
std::string client_output(const std::string& path)
{
    const std::string text = read_text(path);
    const auto request = text.find("REQUEST: ");
    return request == std::string::npos ? text : text.substr(request);
}

}  // namespace

TEST_F(HalvornTest, ClientPrintsRequestAndReply)
{
    auto daemon = start_serving();
    ChildProcess track({HALVORN_EXE, "track", "vm1"}, {env(), dir.file("track.out"), "", ""});
    EXPECT_EQ(track.wait(20), 0);
    EXPECT_EQ(client_output(dir.file("track.out")),
              request_line("vm1", "track", track.pid()) + "  REPLY: Success: track\n");
    EXPECT_FALSE(exists(daemon_pipe + "." + std::to_string(track.pid())));

    const ProgramResult misspelt = client({"trak", "vm1"});
    EXPECT_EQ(misspelt.status, 0);
    EXPECT_NE(misspelt.out.find("  REPLY: Unknown command: trak\n"), std::string::npos) << misspelt.out;

    ChildProcess level({HALVORN_EXE, "loglevel"}, {env(), dir.file("level.out"), "", ""});
    EXPECT_EQ(level.wait(20), 0);
    EXPECT_EQ(client_output(dir.file("level.out")),
              request_line("", "loglevel", level.pid()) + "  REPLY: Success: loglevel\n");
    EXPECT_TRUE(wait_for_text(log, "[CLI] Reset log level to 'info'", 5, daemon.get()));
    stop(*daemon);
}

TEST_F(HalvornTest, ClientWithoutDaemonFailsAfterItsRequestLine)
{
    // No pipe at all.
    ChildProcess missing({HALVORN_EXE, "track", "vm1"}, {env(), dir.file("missing.out"), "", ""});
    EXPECT_EQ(missing.wait(20), 1);
    EXPECT_EQ(client_output(dir.file("missing.out")),
              request_line("vm1", "track", missing.pid()) +
                  "Fifo error [/var/run/halvorn.cli.fifo]: No such file or directory\n");

    // A pipe that nobody reads.
    ASSERT_EQ(mkfifo(daemon_pipe.c_str(), 0660), 0);
    ChildProcess unread({HALVORN_EXE, "track", "vm1"}, {env(), dir.file("unread.out"), "", ""});
    EXPECT_EQ(unread.wait(20), 1);
    EXPECT_EQ(client_output(dir.file("unread.out")),
              request_line("vm1", "track", unread.pid()) +
                  "Fifo error [/var/run/halvorn.cli.fifo]: No such device or address\n");

    EXPECT_FALSE(exists(daemon_pipe + "." + std::to_string(missing.pid())));
    EXPECT_FALSE(exists(daemon_pipe + "." + std::to_string(unread.pid())));
}

TEST_F(HalvornTest, ClientGivesUpOnADaemonThatNeverAnswers)
{
    // Reads requests but never replies.
    Fifo silent(FifoMode::Read, daemon_pipe);
    ASSERT_TRUE(silent.is_open());
    ChildProcess waiting({HALVORN_EXE, "track", "vm1"},
                         {env(), dir.file("wait.out"), dir.file("wait.err"), ""});
    const auto started = std::chrono::steady_clock::now();
    EXPECT_EQ(waiting.wait(30), 1);
    const auto waited = std::chrono::steady_clock::now() - started;
    EXPECT_GE(waited, std::chrono::seconds(9));
    EXPECT_LT(waited, std::chrono::seconds(25));
    EXPECT_NE(read_text(dir.file("wait.err")).find("within 10 seconds"), std::string::npos);
    EXPECT_FALSE(exists(daemon_pipe + "." + std::to_string(waiting.pid())));
}

TEST_F(HalvornTest, ClientRefusesRequestsThatCannotArriveWhole)
{
    auto daemon = start_serving();
    const ProgramResult too_long = client({"track", std::string(5000, 'v')});
    EXPECT_EQ(too_long.status, 1);
    EXPECT_NE(too_long.out.find("REQUEST: "), std::string::npos);
    EXPECT_NE(too_long.err.find("Request too long"), std::string::npos) << too_long.err;

    const ProgramResult not_utf8 = client({"track", "vm\xff"});
    EXPECT_EQ(not_utf8.status, 1);
    EXPECT_NE(not_utf8.err.find("Request error: "), std::string::npos) << not_utf8.err;

    // A request sent after them is read after anything they could have sent.
    ASSERT_EQ(client({"track"}).status, 0);
    ASSERT_TRUE(wait_for_text(log, "[CLI] Reset tracking VM", 20, daemon.get())) << log_text();
    EXPECT_EQ(count_of(log_text(), "[CLI]"), 1) << "nothing else reached the daemon";
    stop(*daemon);
}

TEST_F(HalvornTest, AnInterruptedClientRemovesItsReplyPipe)
{
    // Reads requests but never replies, so the client is still waiting.
    Fifo silent(FifoMode::Read, daemon_pipe);
    ASSERT_TRUE(silent.is_open());
    // status waits for its longer reply in a loop of its own.
    const std::vector<std::vector<std::string>> clients = {{HALVORN_EXE, "track", "vm1"},
                                                           {HALVORN_EXE, "status"}};
    for (const std::vector<std::string>& argv : clients)
        for (const int signum : {SIGINT, SIGTERM, SIGHUP}) {
            const std::string command = argv[1];
            ChildProcess waiting(argv, {env(), dir.file("interrupted.out"), "", ""});
            const std::string reply_pipe = daemon_pipe + "." + std::to_string(waiting.pid());
            ASSERT_TRUE(wait_for_reader(reply_pipe, 20, &waiting)) << command << " " << signum;
            waiting.signal(signum);
            EXPECT_EQ(waiting.wait(20), 128 + signum) << command << " " << signum;
            EXPECT_FALSE(exists(reply_pipe)) << command << " " << signum;
        }
}
