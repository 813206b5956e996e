#include "runtime/request.h"

#include <fstream>
#include <string>

#include <unistd.h>

#include <gtest/gtest.h>

#include "runtime/driver.h"
#include "runtime/fifo.h"
#include "reply_pipe_fixture.h"

using nlohmann::json;

TEST(MemberText, ConvertsNumbersAndFallsBackForEverythingElse)
{
    const json request = json::parse(R"({"s":"vm1","u":7,"i":-12,"f":1.5,"b":true,"n":null,
                                         "o":{"x":1},"a":[1],"e":"","big":18446744073709551615})");
    EXPECT_EQ(member_text(request, "/s", "d"), "vm1");
    EXPECT_EQ(member_text(request, "/u", "d"), "7");
    EXPECT_EQ(member_text(request, "/i", "d"), "-12");
    EXPECT_EQ(member_text(request, "/f", "d"), "1.500000");
    EXPECT_EQ(member_text(request, "/big", "d"), "18446744073709551615");
    EXPECT_EQ(member_text(request, "/e", "d"), "");
    for (const char* other : {"/b", "/n", "/o", "/a", "/missing"})
        EXPECT_EQ(member_text(request, other, "d"), "d") << other;

    // Requests that are not objects have no members.
    EXPECT_EQ(member_text(json::parse(R"(["track","vm1"])"), "/cmd", ""), "");
    EXPECT_EQ(member_text(json::parse("42"), "/cmd", ""), "");
}

namespace {

class RequestHandler : public ReplyPipeTest {
protected:
    Driver::Handler handle = [this](const std::string& text) { handle_request(daemon_path, text); };
};

}  // namespace

TEST_F(RequestHandler, RepliesSuccessOrUnknownCommand)
{
    handle(request("\"track\"") + "\n");  // a trailing newline is harmless
    EXPECT_EQ(answer(), "Success: track");

    handle(request("\"TRACK\""));
    EXPECT_EQ(answer(), "Unknown command: TRACK");

    handle(request("true"));
    EXPECT_EQ(answer(), "Unknown command: ");

    handle("{\"fifo\":\"" + reply_path + "\"}");
    EXPECT_EQ(answer(), "Unknown command: ");
}

TEST_F(RequestHandler, BadTextGetsNoReplyAndALogLine)
{
    handle("track vm1");
    EXPECT_EQ(answer(), "");
    EXPECT_NE(log.text().find("[CLI] Command exception: "), std::string::npos);

    // A complete request followed by anything but another one stays one
    // text that is not JSON.
    handle(request("\"track\"") + " track");
    EXPECT_EQ(answer(), "");

    // Comments are not JSON either.
    handle("/* c */" + request("\"track\""));
    EXPECT_EQ(answer(), "");
}

TEST_F(RequestHandler, RequestsDrainedTogetherAreAnsweredEachInOrder)
{
    handle(request("\"track\"") + "\n" + request("\"bogus\"") + request("\"loglevel\"", "\"trace\""));
    EXPECT_EQ(answer(), "Success: trackUnknown command: bogusSuccess: loglevel");
}

TEST(SplitRequests, OnlyASequenceOfWholeObjectsIsSplit)
{
    using Texts = std::vector<std::string>;
    EXPECT_EQ(split_requests(R"({"a":"}{\"x"} {"b":[{}]})"), (Texts{R"({"a":"}{\"x"})", R"({"b":[{}]})"}));
    for (const std::string one :
         {R"({"a":1})", R"({"a":1}{"b")", R"({"a":1}[1])", R"({"a":1} x)", "x {}{}", ""})
        EXPECT_EQ(split_requests(one), Texts{one}) << one;
}

TEST_F(RequestHandler, DeepNestingIsRefusedWithoutAReply)
{
    const auto nested = [](int levels, const std::string& inside) {
        return std::string(static_cast<size_t>(levels), '[') + inside +
               std::string(static_cast<size_t>(levels), ']');
    };
    // Eight levels are still a request: the object and seven levels below it.
    handle(request("\"track\"", nested(7, "1")));
    EXPECT_EQ(answer(), "Success: track");
    EXPECT_EQ(log.text().find("Command exception"), std::string::npos);

    handle(request("\"track\"", nested(8, "1")));
    EXPECT_EQ(answer(), "");
    EXPECT_NE(log.text().find("[CLI] Command exception: request nested deeper than 8 levels"),
              std::string::npos);

    // A huge nesting is refused at its ninth level, even unterminated.
    log.take();
    handle(std::string(65536, '['));
    std::string objects;
    for (int i = 0; i < 10000; ++i)
        objects += "{\"a\":";
    handle(objects);
    EXPECT_EQ(log.take(),
              (std::vector<LogCapture::Line>{
                  {spdlog::level::info, "[CLI] Command exception: request nested deeper than 8 levels"},
                  {spdlog::level::info, "[CLI] Command exception: request nested deeper than 8 levels"}}));
}

TEST_F(RequestHandler, ReplyPathsThatCannotBeUsedAreLoggedOnly)
{
    handle("[\"track\"]");
    EXPECT_NE(log.text().find("[CLI] () Fifo open error: "), std::string::npos);

    const std::string file = daemon_path + ".99";
    {
        std::ofstream(file) << "precious";
    }
    handle("{\"cmd\":\"nope\",\"fifo\":\"" + file + "\"}");
    EXPECT_NE(log.text().find("[CLI] (nope) Fifo open error: Not a FIFO"), std::string::npos);
    std::ifstream in(file);
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), "precious");

    // The requester went away: its pipe is there but nobody reads it.
    reply.close();
    handle(request("\"gone\""));
    EXPECT_NE(log.text().find("[CLI] (gone) Fifo open error: " + std::string(strerror(ENXIO))),
              std::string::npos);
}

TEST_F(RequestHandler, RepliesOnlyIntoTheDaemonPipesReplyPipes)
{
    // Another program's FIFO, waiting for input it would act on.
    Fifo other(FifoMode::Read, dir.file("control.fifo"));
    ASSERT_TRUE(other.is_open());
    const auto refused = [&](const std::string& path) {
        handle("{\"cmd\":\"track\",\"fifo\":\"" + path + "\"}");
        char buffer[64];
        EXPECT_LT(read(other.fd, buffer, sizeof buffer), 1) << path;
        EXPECT_NE(log.text().find("[CLI] Reply pipe refused: '" + path + "'"), std::string::npos) << path;
    };
    refused(other.path);
    for (const char* tail : {".", ".12a", ".-1", ".1/../../control.fifo", "x.12", ".+5"})
        refused(daemon_path + tail);
    EXPECT_EQ(answer(), "");

    // Control characters are shown escaped, and a long path is cut.
    handle("{\"cmd\":\"track\",\"fifo\":\"/tmp/a\\u001b[2Jb" + std::string(300, 'c') + "\"}");
    const std::string shown = "/tmp/a\\x1b[2Jb" + std::string(200 - 14, 'c');
    EXPECT_NE(log.text().find("[CLI] Reply pipe refused: '" + shown + "'\n"), std::string::npos)
        << log.text();

    // The client's own naming still gets its reply.
    handle(request("\"track\""));
    EXPECT_EQ(answer(), "Success: track");
}

TEST_F(RequestHandler, UnknownLogLevelIsRepliedAndChangesNothing)
{
    handle(request("\"loglevel\"", "\"debug\""));
    EXPECT_EQ(answer(), "Success: loglevel");
    handle(request("\"loglevel\"", "\"INFO\""));
    EXPECT_EQ(answer(), "Unknown log level: INFO");
    EXPECT_NE(log.text().find("[CLI] Unknown log level 'INFO'"), std::string::npos);
    EXPECT_EQ(spdlog::default_logger()->level(), spdlog::level::debug);
    handle(request("\"loglevel\""));
    EXPECT_EQ(answer(), "Success: loglevel");
    EXPECT_EQ(spdlog::default_logger()->level(), spdlog::level::info);
}
