// status, the metrics file, dry run and exemptions with the real daemon on a
// simulated host whose miner is judged within seconds.
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <nlohmann/json.hpp>

#include "e2e_sim_fixture.h"
#include "runtime/fifo.h"

using nlohmann::json;

namespace {

class StatusTest : public SimulatedHostTest {
protected:
    void start(const std::string& extra_keys)
    {
        // The host counts as busy throughout, so a miner is moved once judged.
        // A tick of several simulator slices keeps the measured demand steady.
        SimulatedHostTest::start({"--vm", "miner:2:100", "--vm", "calm:2:10", "--burst-secs", "1",
                                  "--class1-limit", "30", "--class2-limit", "25"},
                                 "UpdateTime = 500\nAveragingTime = 10\nMetricsFile = " + metrics + "\n" +
                                     "[RATE_LIMIT]\nMinCpuIdleLevel = 5\nMaxCpuIdleLevel = 95\n" +
                                     "[VCPU_CLASS]\nCpuIdleLevel = 99\nVCPU = 2\nOverloadBound = 60\n" +
                                     extra_keys);
    }
    void TearDown() override
    {
        if (daemon)
            stop(*daemon);
    }

    json status()
    {
        const ProgramResult result = client({"status", "json"});
        EXPECT_EQ(result.status, 0) << result.out << result.err;
        // The JSON alone, ready for jq; without a configuration file the
        // client says so on standard error.
        EXPECT_NE(result.err.find("No config file found"), std::string::npos) << result.err;
        return json::parse(result.out, nullptr, false);
    }
    static json vm_named(const json& status, const std::string& name)
    {
        for (const json& vm : status.value("vms", json::array()))
            if (vm.value("name", "") == name)
                return vm;
        return {};
    }
    std::string metrics = dir.file("halvorn.prom");
};

}  // namespace

TEST_F(StatusTest, StatusAndMetricsFollowAJudgedMiner)
{
    start("");
    ASSERT_TRUE(
        wait_for_text(log, "  VCPU_class_1 => VCPU_class_2 rate_limit(class.2)=25%", 90, daemon.get()))
        << log_text();
    const json reply = status();
    const json miner = vm_named(reply, "miner");
    EXPECT_EQ(miner.value("kind", ""), "MINER") << reply;
    EXPECT_EQ(miner.value("class", 0), 2) << reply;
    EXPECT_EQ(miner.value("moves", 0), 1) << reply;
    EXPECT_EQ(vm_named(reply, "calm").value("kind", ""), "NORMAL") << reply;
    EXPECT_EQ(reply["dry_run"], false);

    const ProgramResult table = client({"status"});
    EXPECT_EQ(table.status, 0) << table.err;
    EXPECT_NE(table.out.find("host idle "), std::string::npos) << table.out;
    EXPECT_EQ(table.out.find("REQUEST"), std::string::npos) << table.out;
    EXPECT_NE(table.out.find("\nminer  "), std::string::npos) << table.out;
    EXPECT_NE(table.out.find("  MINER  "), std::string::npos) << table.out;

    // The file follows within a tick or two.
    EXPECT_TRUE(wait_for_text(metrics, "halvorn_vm_class{vm=\"miner\"} 2\n", 10, daemon.get()))
        << read_text(metrics);
    EXPECT_NE(read_text(metrics).find("halvorn_class_moves_total{to=\"2\"} 1\n"), std::string::npos);
    const ProgramResult checked =
        run_program("/bin/sh", {"sh", "-c", "promtool check metrics < \"$1\"", "sh", metrics});
    EXPECT_EQ(checked.status, 0) << checked.out << checked.err;

    EXPECT_EQ(client({"status", "yaml"}).status, 1);
}

TEST_F(StatusTest, DryRunJudgesTheMinerButMovesNothing)
{
    start("[COMMON]\nDryRun = yes\n");
    const std::string would_move = "  VCPU_class_1 => VCPU_class_2 rate_limit(class.2)=25% (dry run)\n";
    ASSERT_TRUE(wait_for_text(log, would_move, 90, daemon.get())) << log_text();
    EXPECT_EQ(count_of(log_text(), "***** Dry run: no rate limit or class is changed\n"), 1);
    ASSERT_TRUE(wait_ticks(3, 30)) << log_text();  // a few more ticks that would move it again
    const json reply = status();
    const json miner = vm_named(reply, "miner");
    EXPECT_EQ(miner.value("kind", ""), "MINER") << reply;
    EXPECT_EQ(miner.value("class", 0), 1) << reply;
    EXPECT_EQ(miner.value("moves", -1), 0) << reply;
    EXPECT_EQ(reply["dry_run"], true);
    EXPECT_EQ(reply["host"]["class1_rate_limit"], 30) << reply;
    EXPECT_EQ(count_of(log_text(), would_move), 1) << log_text();
    EXPECT_EQ(count_of(log_text(), "has been decreased by 5\n"), 0) << log_text();
}

TEST_F(StatusTest, AnExemptMinerStaysInClassOne)
{
    start("Exempt = web*, mi?er\n");
    ASSERT_TRUE(wait_for_text(log, "  exempt, not moved\n", 90, daemon.get())) << log_text();
    ASSERT_TRUE(wait_ticks(3, 30)) << log_text();
    const json miner = vm_named(status(), "miner");
    EXPECT_EQ(miner.value("kind", ""), "MINER") << miner;
    EXPECT_EQ(miner.value("class", 0), 1) << miner;
    EXPECT_EQ(miner.value("exempt", false), true) << miner;
    EXPECT_EQ(count_of(log_text(), "  exempt, not moved\n"), 1);
}

TEST_F(StatusTest, AClientThatNeverReadsDoesNotStallTheDaemon)
{
    start("");
    // A reply pipe already full: the daemon cannot write a byte of its reply.
    const std::string reply_path = daemon_pipe + ".4242";  // the daemon replies only into its own reply pipes
    Fifo reply(FifoMode::Read, reply_path);
    ASSERT_TRUE(reply.is_open());
    const int filler = open(reply_path.c_str(), O_WRONLY | O_NONBLOCK);
    ASSERT_GE(filler, 0);
    const std::string block(4096, 'x');
    while (write(filler, block.data(), block.size()) > 0) {
    }
    Fifo daemon_end(FifoMode::Write, daemon_pipe);
    ASSERT_TRUE(daemon_end.is_open());
    ASSERT_GT(daemon_end.write(R"({"cmd":"status","arg":"","fifo":")" + reply_path + "\"}"), 0);
    ASSERT_TRUE(wait_for_text(log, "[CLI] Reply to 'status' cut short after 0 of ", 20, daemon.get()))
        << log_text();

    const uint64_t before = ticks_in_metrics(metrics);
    EXPECT_TRUE(wait_until([&] { return ticks_in_metrics(metrics) >= before + 3; }, 2.5, daemon.get()));
    close(filler);
}

TEST_F(StatusTest, ARotationKeepsTheDryRunAndTheRecordingOfTheFileNamedAtStart)
{
    namespace fs = std::filesystem;
    ASSERT_NO_FATAL_FAILURE(start_host({"--vm", "calm:2:10", "--burst-secs", "1"}));
    // A reload searches the program's directory first: there lies a file
    // that enforces and records nothing.
    const std::string program = dir.file("halvorn");
    fs::copy_file(HALVORN_EXE, program);
    dir.write("halvorn.config", "[COMMON]\nLogLevel = trace\n");
    const std::string record = dir.file("record.gz");
    const std::string trial = dir.write("trial.config", "[COMMON]\nLogLevel = trace\nUpdateTime = 500\n"
                                                        "DryRun = yes\nRecordFile = " +
                                                            record + "\n");
    daemon = std::make_unique<ChildProcess>(std::vector<std::string>{program, "-c", trial},
                                            ChildProcess::Options{env(), log, "", ""});
    ASSERT_TRUE(wait_for_text(log, "Configuration file: '" + trial + "'", 20, daemon.get())) << log_text();
    ASSERT_TRUE(wait_for_reader(daemon_pipe, 20, daemon.get())) << log_text();
    const auto written = [](const std::string& path) {
        struct stat st {};
        return stat(path.c_str(), &st) == 0 && st.st_size > 0;
    };
    ASSERT_TRUE(wait_until([&] { return written(record); }, 20, daemon.get())) << log_text();

    // newsyslog's rotation: a rename, then SIGUSR1.
    ASSERT_EQ(std::rename(record.c_str(), (record + ".0").c_str()), 0);
    daemon->signal(SIGUSR1);
    ASSERT_TRUE(
        wait_for_text(log, "Record file '" + record + "' is opened again at the next tick", 20, daemon.get()))
        << log_text();
    EXPECT_TRUE(wait_until([&] { return written(record); }, 20, daemon.get())) << log_text();
    const auto status_now = [this] { return json::parse(client({"status", "json"}).out, nullptr, false); };
    json reply = status_now();
    EXPECT_EQ(reply["dry_run"], true) << reply;
    EXPECT_EQ(reply["config_file"], trial) << reply;
    EXPECT_EQ(count_of(log_text(), "Configuration file: '"), 1) << log_text();

    // A reload does search, and says what the file it found changed.
    daemon->signal(SIGHUP);
    ASSERT_TRUE(wait_for_text(log, "dry run is now off: enforcing", 20, daemon.get())) << log_text();
    for (const std::string& warning :
         {"Configuration file is now '" + dir.file("halvorn.config") + "' (was '" + trial + "')",
          "RecordFile is now off (was '" + record + "')"})
        EXPECT_NE(log_text().find("[W] [" + std::to_string(daemon->pid()) + "] " + warning),
                  std::string::npos)
            << log_text();
    reply = status_now();
    EXPECT_EQ(reply["dry_run"], false) << reply;
    EXPECT_EQ(reply["config_file"], dir.file("halvorn.config")) << reply;
    expect_unharmed();
}
