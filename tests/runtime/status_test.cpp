#include "runtime/status.h"

#include <chrono>
#include <string>
#include <thread>

#include <unistd.h>

#include <gtest/gtest.h>

#include "controller/controller_view.h"
#include "runtime/driver.h"
#include "runtime/request.h"
#include "runtime/fifo.h"
#include "runtime/status_table.h"
#include "reply_pipe_fixture.h"
#include "scripted_controller.h"
#include "startup/identity.h"
#include "temp_dir.h"

using nlohmann::json;

TEST(StatusJson, EveryMemberWithItsTypeNullsAndOddNames)
{
    ScriptedController scripted;
    scripted.settings.dry_run = true;
    scripted.settings.tracked_vm = "miner";
    scripted.settings.config_file = "/usr/local/etc/halvorn.config";
    scripted.controller.knobs.class2_rate_limit.reset();
    const std::string line = status_reply(ControllerView(scripted.controller));
    EXPECT_EQ(line.find('\n'), std::string::npos);  // one line; the odd name's newline is escaped
    const json status = json::parse(line);

    EXPECT_EQ(status["version"], program_version());
    EXPECT_EQ(status["pid"], getpid());
    EXPECT_TRUE(status["uptime_s"].is_number_integer());
    EXPECT_EQ(status["dry_run"], true);
    EXPECT_EQ(status["tracked_vm"], "miner");
    EXPECT_EQ(status["config_file"], "/usr/local/etc/halvorn.config");
    EXPECT_EQ(status["dry_run_saturated"], false);  // 23.4 % idle is no saturated host
    EXPECT_EQ(status["host"], json::parse(R"({"idle_average":23.4,"idle_band":[15,35],"cpu_idle_level":30,
        "class1_rate_limit":70,"dry_run_class1_rate_limit":null,"class2_rate_limit":null,
        "dry_run_class2_rate_limit":null,"class2_regulated":null,"class2_start_rate_limit":null,"class1_burst_secs":30,
        "ticks":120,"kvm_errors":2,"last_tick_ms":0.31,"vm_list_rebuild_s":0})"));

    ASSERT_EQ(status["vms"].size(), 3u);
    EXPECT_EQ(status["vms"][0], json::parse(R"({"name":"miner","pid":15,"class":2,"kind":"MINER",
        "overloaded":true,"load":100.1,"vcpus":2,"vcpu_loads":{"0":100.0,"1":100.2},"countdown_s":null,
        "countdown_to":null,"exempt":false,"moves":1})"));
    EXPECT_EQ(status["vms"][1], json::parse(R"({"name":"we\"b\\01\n","pid":19,"class":1,"kind":"NORMAL",
        "overloaded":false,"load":6.2,"vcpus":2,"vcpu_loads":{"0":6.0,"1":6.4},"countdown_s":41,
        "countdown_to":"MINER","exempt":true,"moves":2})"));
    // Unknown is null throughout, the class included.
    EXPECT_EQ(status["vms"][2], json::parse(R"({"name":"fresh","pid":30,"class":null,"kind":"unjudged",
        "overloaded":null,"load":null,"vcpus":0,"vcpu_loads":{},"countdown_s":null,"countdown_to":null,
        "exempt":false,"moves":0})"));
}

TEST(StatusJson, NamesThatAreNotUtf8AreReplacedNotFatal)
{
    ScriptedController scripted;
    scripted.add("bad\xff", 40, 1, 1);
    const json status = json::parse(status_reply(ControllerView(scripted.controller)));
    EXPECT_EQ(status["vms"][3]["name"], "bad\xEF\xBF\xBD");
}

TEST(StatusTable, HostLineThenAlignedColumns)
{
    ScriptedController scripted;
    scripted.controller.vms.at(19)->name = "web01";
    scripted.controller.knobs.class1_burst_secs.reset();
    EXPECT_EQ(
        status_table(status_json(ControllerView(scripted.controller))),
        "host idle 23.4 % (band 15..35, moves at or below 30) · class-1 limit 70 % · class-2 limit 25 % · "
        "burst - · 3 VMs · VM list refresh at the next tick\n"
        "configuration file: none, defaults\n"
        "VM     PID  CLASS  JUDGED          LOAD%  VCPUS  COUNTDOWN\n"
        "miner   15      2  MINER           100.1      2  -\n"
        "web01   19      1  NORMAL, exempt    6.2      2  MINER in 41 s\n"
        "fresh   30      -  unjudged            -      0  -\n");

    // A dry run shows the limit it would have set beside the real one, and
    // says what it misses on a saturated host; a rebuild that is not due
    // shows its time.
    scripted.settings.dry_run = true;
    scripted.settings.config_file = "/tmp/trial.config";
    scripted.controller.dry_run_rate_limit = 40;
    scripted.controller.vm_list_due = false;
    const std::string host = status_table(status_json(ControllerView(scripted.controller)));
    EXPECT_NE(host.find("· class-1 limit 70 % (dry run: 40 %) ·"), std::string::npos) << host;
    EXPECT_NE(host.find(" · VM list refresh in "), std::string::npos) << host;
    EXPECT_NE(host.find(" s · dry run\nconfiguration file: /tmp/trial.config\nVM "), std::string::npos)
        << host;
    // A regulated class-2 limit shows its range and what it goes back to,
    // and in a dry run the limit it would have set.
    scripted.controller.class2 = {25, Class2Bounds{20, 60}, true, 45};
    const json regulated = status_json(ControllerView(scripted.controller));
    EXPECT_EQ(regulated["host"]["class2_regulated"], json::parse("[20,60]"));
    EXPECT_EQ(regulated["host"]["class2_start_rate_limit"], 25);
    EXPECT_EQ(regulated["host"]["dry_run_class2_rate_limit"], 45);
    const std::string class2 = status_table(regulated);
    EXPECT_NE(class2.find("· class-2 limit 25 % (dry run: 45 %) (regulated 20..60, back to 25 % at stop) ·"),
              std::string::npos)
        << class2;
    scripted.controller.idle_average = 2.0;
    const std::string saturated = status_table(status_json(ControllerView(scripted.controller)));
    EXPECT_NE(saturated.find("\nconfiguration file: /tmp/trial.config\ndry run on a saturated host (idle "
                             "average near 0 %): no vCPU is throttled and a miner that cannot run shows "
                             "little demand, so this dry run under-counts MINERs\nVM "),
              std::string::npos)
        << saturated;
}

TEST(StatusTable, ControlCharactersAndMissingMembersDoNotBreakIt)
{
    const json status = json::parse(R"({"host":{},"dry_run":true,"vms":[{"name":"a\u001b[2Jb\nc"},7]})");
    EXPECT_EQ(status_table(status),
              "host idle - (band -, moves at or below -) · class-1 limit - · class-2 limit - · "
              "burst - · 2 VMs · dry run\n"
              "VM        PID  CLASS  JUDGED  LOAD%  VCPUS  COUNTDOWN\n"
              "a?[2Jb?c    -      -  -           -      -  -\n"
              "-           -      -  -           -      -  -\n");
}

TEST(StatusTable, WideAndCombiningCharactersKeepTheColumnsAligned)
{
    // Two columns a character for CJK, none for a combining accent.
    const json status = json::parse(R"({"vms":[{"name":"数据库","pid":7},{"name":"cafe\u0301","pid":8},
        {"name":"web01","pid":9}]})");
    const std::string table = status_table(status);
    EXPECT_EQ(table.substr(table.find('\n') + 1), "VM      PID  CLASS  JUDGED  LOAD%  VCPUS  COUNTDOWN\n"
                                                  "数据库    7      -  -           -      -  -\n"
                                                  "cafe\u0301      8      -  -           -      -  -\n"
                                                  "web01     9      -  -           -      -  -\n");
}

namespace {

struct StatusRequest : ReplyPipeTest {
    std::string big_reply = "{" + std::string(300000, ' ') + "}";
    Driver::Handler handle = [this](const std::string& text) {
        handle_request(daemon_path, text, [this] { return big_reply; });
    };

    void request() { handle(ReplyPipeTest::request("\"status\"")); }
};

}  // namespace

TEST_F(StatusRequest, AReaderGetsTheWholeLongReply)
{
    std::string received;
    std::thread reader([&] {
        char buffer[65536];
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        while ((received.empty() || received.back() != '\n') && std::chrono::steady_clock::now() < deadline) {
            const ssize_t n = read(reply.fd, buffer, sizeof buffer);
            if (n > 0)
                received.append(buffer, static_cast<size_t>(n));
            else
                usleep(1000);
        }
    });
    request();
    reader.join();
    EXPECT_EQ(received, big_reply + "\n");
    EXPECT_EQ(log.text().find("cut short"), std::string::npos) << log.text();
}

TEST_F(StatusRequest, AClientThatNeverReadsCostsAtMostTheBudget)
{
    const auto start = std::chrono::steady_clock::now();
    request();
    const auto spent = std::chrono::steady_clock::now() - start;
    EXPECT_GE(spent, Driver::reply_budget);
    EXPECT_LT(spent, std::chrono::seconds(2));  // generous for a loaded machine
    const std::string text = log.text();
    const size_t at = text.find("[CLI] Reply to 'status' cut short after ");
    ASSERT_NE(at, std::string::npos) << text;
    EXPECT_NE(text.find(" of " + std::to_string(big_reply.size() + 1) + " bytes", at), std::string::npos)
        << text;
}

TEST(StatusRequestWithoutController, IsAnUnknownCommand)
{
    TempDir dir;
    const std::string daemon_path = dir.file("halvorn.cli.fifo");
    Fifo reply(FifoMode::Read, daemon_path + ".1");
    handle_request(daemon_path, R"({"cmd":"status","arg":"","fifo":")" + daemon_path + ".1\"}");
    char buffer[64];
    const ssize_t n = read(reply.fd, buffer, sizeof buffer);
    EXPECT_EQ(std::string(buffer, n > 0 ? static_cast<size_t>(n) : 0), "Unknown command: status");
}
