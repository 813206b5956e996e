// Requests written straight into the daemon's pipe, as any requester may.
#include <fstream>

#include <poll.h>
#include <unistd.h>

#include "e2e_sim_fixture.h"
#include "runtime/fifo.h"

namespace {

// Sends `text` and returns the reply, or "" when none came within `seconds`.
std::string exchange(const std::string& text, const std::string& reply_path, double seconds = 15)
{
    Fifo reply(FifoMode::Read, reply_path);
    // A writer of our own, as the client keeps: the daemon's writer from the
    // previous exchange may close only after this reader opened, which would
    // otherwise read as end-of-file before the reply comes.
    Fifo keeper(FifoMode::Write, reply_path);
    Fifo request(FifoMode::Write, daemon_pipe);
    EXPECT_EQ(request.write(text), static_cast<ssize_t>(text.size()));
    pollfd ready{reply.fd, POLLIN, 0};
    if (poll(&ready, 1, static_cast<int>(seconds * 1000)) != 1)
        return "";
    char buffer[512];
    const ssize_t n = read(reply.fd, buffer, sizeof buffer);
    return n > 0 ? std::string(buffer, static_cast<std::size_t>(n)) : "";
}

}  // namespace

class ChannelTest : public HalvornTest {
protected:
    void SetUp() override { daemon = start_serving({"-l", "debug"}); }
    void TearDown() override
    {
        if (daemon)
            stop(*daemon);
    }

    std::string request(const std::string& cmd, const std::string& arg) const
    {
        return "{\"cmd\":" + cmd + ",\"arg\":" + arg + ",\"fifo\":\"" + reply_path + "\"}";
    }

    std::unique_ptr<ChildProcess> daemon;
    // The only reply pipes the daemon writes: its own pipe's path + "." + digits.
    std::string reply_path = daemon_pipe + ".4711";
};

TEST_F(ChannelTest, NumbersAsArgumentsBecomeText)
{
    EXPECT_EQ(exchange(request("\"track\"", "7"), reply_path), "Success: track");
    EXPECT_TRUE(wait_for_text(log, "[CLI] Set tracking VM id=7\n", 5, daemon.get())) << log_text();
    EXPECT_EQ(exchange(request("\"track\"", "1.5"), reply_path), "Success: track");
    EXPECT_TRUE(wait_for_text(log, "[CLI] Set tracking VM id=1.500000\n", 5, daemon.get()));
}

TEST_F(ChannelTest, BadRequestsAreLoggedAndTheDaemonServesOn)
{
    // Not JSON: logged, no reply.
    EXPECT_EQ(exchange("track vm1", reply_path, 1), "");
    EXPECT_TRUE(wait_for_text(log, "[CLI] Command exception: ", 15, daemon.get())) << log_text();

    // An array has no members: no command, no reply path.
    EXPECT_EQ(exchange("[\"track\",\"vm1\"]", reply_path, 1), "");
    EXPECT_TRUE(wait_for_text(log, "[CLI] () Fifo open error: ", 15, daemon.get())) << log_text();

    // A reply path naming a regular file: refused, the file untouched.
    const std::string victim = daemon_pipe + ".1";
    {
        std::ofstream(victim) << "precious";
    }
    Fifo request_end(FifoMode::Write, daemon_pipe);
    request_end.write("{\"cmd\":\"bogus\",\"arg\":\"\",\"fifo\":\"" + victim + "\"}");
    EXPECT_TRUE(wait_for_text(log, "[CLI] (bogus) Fifo open error: Not a FIFO", 15, daemon.get()))
        << log_text();
    EXPECT_EQ(read_text(victim), "precious");

    // A requester gone before the reply: its pipe has no reader.
    const std::string gone = daemon_pipe + ".2";
    ASSERT_EQ(mkfifo(gone.c_str(), 0600), 0);
    request_end.write("{\"cmd\":\"loglevel\",\"arg\":\"debug\",\"fifo\":\"" + gone + "\"}");
    EXPECT_TRUE(
        wait_for_text(log, "[CLI] (loglevel) Fifo open error: No such device or address", 15, daemon.get()))
        << log_text();

    EXPECT_EQ(exchange(request("\"TRACK\"", "\"\""), reply_path), "Unknown command: TRACK");
    EXPECT_TRUE(daemon->running());
}

TEST_F(ChannelTest, TwoRequestsThatArriveTogetherAreTwoRequests)
{
    // As two monitoring scripts asking at the same moment: both texts are in
    // the pipe before the daemon drains it.
    const std::string other_path = daemon_pipe + ".4712";
    Fifo other(FifoMode::Read, other_path);
    const std::string second_request =
        "{\"cmd\":\"loglevel\",\"arg\":\"debug\",\"fifo\":\"" + other_path + "\"}";
    EXPECT_EQ(exchange(request("\"track\"", "\"vm1\"") + second_request, reply_path), "Success: track");
    pollfd ready{other.fd, POLLIN, 0};
    ASSERT_EQ(poll(&ready, 1, 15000), 1) << log_text();
    char buffer[64];
    const ssize_t n = read(other.fd, buffer, sizeof buffer);
    EXPECT_EQ(std::string(buffer, n > 0 ? static_cast<size_t>(n) : 0), "Success: loglevel");
    EXPECT_EQ(log_text().find("Command exception"), std::string::npos) << log_text();
}

// The commands through the client, against simulated VMs.
class CommandTest : public SimulatedHostTest {
protected:
    void SetUp() override
    {
        start({"--vm", "vm1:1:0:1", "--vm", "vm3:1:0:3"}, "UpdateTime = 100\n[VCPU_CLASS]\nVCPU = 1\n");
    }
    void TearDown() override
    {
        if (daemon)
            stop(*daemon);
    }

    // Runs the client and expects the daemon's success reply.
    void command(const std::vector<std::string>& words)
    {
        const ProgramResult result = client(words);
        EXPECT_EQ(result.status, 0) << result.out << result.err;
        EXPECT_NE(result.out.find("  REPLY: Success: " + words.at(0) + "\n"), std::string::npos)
            << result.out;
    }
};

TEST_F(CommandTest, TrackKeepsOnlyAVmInClassOneOrTwo)
{
    command({"track", "vm1"});
    EXPECT_TRUE(wait_for_text(log, "[CLI] Set tracking VM id=vm1\n", 5, daemon.get()));
    EXPECT_TRUE(wait_for_text(log, "Tracking VM id=vm1 class=", 5, daemon.get()));
    // Kept: the controller writes the tracked line on its next evaluations.
    EXPECT_TRUE(wait_for_text(log, "Track VM id=vm1 ", 20, daemon.get())) << log_text();
    EXPECT_EQ(log_text().find("vm1 tracking is not possible"), std::string::npos) << log_text();

    command({"track", "vm3"});
    EXPECT_TRUE(wait_for_text(log, "[CLI] Set tracking VM id=vm3\n", 5, daemon.get()));
    EXPECT_TRUE(wait_for_text(log, "tracking is not possible, class 1,2 only", 5, daemon.get()))
        << log_text();
    command({"track"});
    EXPECT_TRUE(wait_for_text(log, "[CLI] Reset tracking VM (nothing)", 5, daemon.get()))
        << "the refused VM ended the earlier tracking too\n"
        << log_text();

    command({"track", "ghost"});
    EXPECT_TRUE(wait_for_text(log, "VM id=ghost tracking is not possible\n", 5, daemon.get()));
    command({"track"});
    EXPECT_TRUE(wait_for_text(log, "[CLI] Reset tracking VM (nothing)", 5, daemon.get(), 2));
}

TEST_F(CommandTest, LoglevelChangesWhatTheDaemonWrites)
{
    command({"loglevel"});
    EXPECT_TRUE(wait_for_text(log, "[CLI] Reset log level to 'info'", 5, daemon.get()));

    command({"loglevel", "warn"});
    command({"track", "ghost"});  // its lines are info: not written now
    // An unknown name is answered as such and leaves the level at warn.
    const ProgramResult unknown = client({"loglevel", "verbose"});
    EXPECT_EQ(unknown.status, 0);
    EXPECT_NE(unknown.out.find("  REPLY: Unknown log level: verbose\n"), std::string::npos) << unknown.out;
    EXPECT_TRUE(wait_for_text(log, "[W] ", 5, daemon.get())) << log_text();
    EXPECT_NE(log_text().find("[CLI] Unknown log level 'verbose'"), std::string::npos) << log_text();
    // "off" still silences even warnings.
    command({"loglevel", "off"});
    EXPECT_EQ(client({"loglevel", "verbose"}).status, 0);
    command({"loglevel", "info"});
    EXPECT_TRUE(wait_for_text(log, "[CLI] Reset log level to 'info'", 5, daemon.get(), 2));
    const std::string text = log_text();
    EXPECT_EQ(count_of(text, "Unknown log level"), 1) << text;
    EXPECT_EQ(text.find("ghost"), std::string::npos) << text;
    EXPECT_EQ(text.find("'warning'"), std::string::npos) << text;
    EXPECT_EQ(text.find("'off'"), std::string::npos) << text;
}

TEST_F(ChannelTest, AFifoElsewhereGetsNoReply)
{
    const std::string elsewhere = dir.file("control.fifo");
    const std::string text = "{\"cmd\":\"track\",\"arg\":\"\",\"fifo\":\"" + elsewhere + "\"}";
    EXPECT_EQ(exchange(text, elsewhere, 1), "");
    EXPECT_TRUE(wait_for_text(log, "[CLI] Reply pipe refused: '" + elsewhere + "'", 15, daemon.get()))
        << log_text();
    EXPECT_EQ(exchange(request("\"track\"", "\"\""), reply_path), "Success: track");
}
