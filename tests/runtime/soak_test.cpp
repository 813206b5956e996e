// The daemon over more than 3,000 ticks at the shortest UpdateTime: simulated
// VMs stopped, started and restarted, a miner whose demand comes and goes so
// that it moves to class 2 and back again and again, status queries, the
// metrics file written every tick, and four writers pouring well-formed and
// malformed requests into its pipe. A leak of a few bytes a tick shows in
// that many. Afterwards it must be as it was: alive, answering, no descriptor
// gone astray, resident memory flat over the second half, ticks on time, and
// a clean stop.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <fstream>
#include <mutex>
#include <shared_mutex>
#include <thread>

#include <nlohmann/json.hpp>

#include "e2e_sim_fixture.h"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

constexpr int churned_vms = 12;
constexpr int writer_count = 4;
constexpr int vms_per_writer = churned_vms / writer_count;
constexpr int requests_between_vm_operations = 100;
constexpr int64_t update_ms = 100;
constexpr uint64_t soak_ticks = 3000;
// 3,000 ticks of 100 ms take five minutes when every tick is on time.
constexpr auto soak_limit = 450s;
constexpr long resident_growth_limit_kib = 256;

std::string vm_name(int index)
{
    char name[8];
    std::snprintf(name, sizeof name, "vm%02d", index);
    return name;
}

// The daemon's descriptors and what they lead to, without the held run-time
// records: those follow the vCPU threads the daemon watches, which the churn
// changes. A tick holds a few more for its length, so the fewest seen over a
// second are the ones at rest.
struct Descriptors {
    std::vector<std::string> others;  // "NUMBER TARGET", sorted
    size_t held = 0;
};

Descriptors descriptors_at_rest(pid_t pid)
{
    Descriptors fewest;
    for (int sample = 0; sample < 20; ++sample) {
        Descriptors now;
        const std::string fds = "/proc/" + std::to_string(pid) + "/fd";
        if (DIR* dir = opendir(fds.c_str())) {
            while (const dirent* entry = readdir(dir)) {
                if (entry->d_name[0] == '.')
                    continue;
                char target[256] = {};
                const ssize_t n = readlink((fds + "/" + entry->d_name).c_str(), target, sizeof target - 1);
                const std::string link = n > 0 ? target : "?";
                if (link.starts_with("/proc/") && link.ends_with("/schedstat"))
                    ++now.held;
                else
                    now.others.push_back(std::string(entry->d_name) + " " + link);
            }
            closedir(dir);
        }
        std::sort(now.others.begin(), now.others.end());
        if (sample == 0 || now.others.size() < fewest.others.size())
            fewest = now;
        std::this_thread::sleep_for(50ms);
    }
    return fewest;
}

std::string joined(const std::vector<std::string>& lines)
{
    std::string text;
    for (const std::string& line : lines)
        text += line + "\n";
    return text;
}

long resident_kib(pid_t pid)
{
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(status, line);)
        if (line.rfind("VmRSS:", 0) == 0)
            return std::stol(line.substr(6));
    return -1;
}

// Milliseconds of the day from a log line's "[YYYY-MM-DD HH:MM:SS.mmm]".
int64_t stamp_ms(const std::string& line)
{
    int hours = 0, minutes = 0, seconds = 0, millis = 0;
    if (std::sscanf(line.c_str(), "[%*d-%*d-%*d %d:%d:%d.%d]", &hours, &minutes, &seconds, &millis) != 4)
        return -1;
    return ((hours * 60 + minutes) * 60 + seconds) * 1000LL + millis;
}

// The longest time between two consecutive lines holding `needle`.
int64_t longest_gap_ms(const std::string& text, const std::string& needle)
{
    int64_t longest = 0;
    int64_t previous = -1;
    for_each_line(text, [&](const std::string& line, size_t) {
        if (line.find(needle) != std::string::npos) {
            const int64_t now = stamp_ms(line);
            if (previous >= 0 && now >= previous)  // across midnight: skip one gap
                longest = std::max(longest, now - previous);
            previous = now;
        }
        return true;
    });
    return longest;
}

// What one writer did.
struct Churn {
    int requests = 0;
    int vm_operations = 0;
    int failed = 0;  // writes cut short and VM operations that failed
};

// Moves the miner to class 2 and back: it wants whole CPUs until the daemon
// has moved it, then little until it is back in class 1. Its vCPUs are held
// to a rate limit of 25 or 30 %, so a loaded host cannot starve its demand:
// the time held back counts, whether it runs or waits.
class MinerCycle {
public:
    void follow()
    {
        const simtest::ToolResult cls = simtest::run_tool({"class", "miner"});
        if (cls.status != 0)
            return;
        const bool in_class2 = cls.output == "2\n";
        if (in_class2 == in_class2_)
            return;
        in_class2_ = in_class2;
        ++moves_seen_;
        failed_ += simtest::run_tool({"demand", "miner", in_class2 ? "10" : "100"}).status != 0;
    }
    int moves_seen() const { return moves_seen_; }
    int failed() const { return failed_; }

private:
    bool in_class2_ = false;
    int moves_seen_ = 0;
    int failed_ = 0;
};

struct SoakTest : SimulatedHostTest {
    // A reply pipe that is not a pipe: the daemon must never write into it.
    const std::string decoy = dir.write("decoy", "untouched\n");
    const std::string metrics = dir.file("halvorn.prom");
    std::atomic<bool> done = false;
    std::shared_mutex pipe_turn;  // the writers share the pipe, the client has it alone

    std::string well_formed(int i, const std::string& reply) const
    {
        const std::string fifo = "\",\"fifo\":\"" + reply + "\"}";
        switch (i % 4) {
        case 0: return "{\"cmd\":\"track\",\"arg\":\"" + vm_name(i % churned_vms) + fifo;
        case 1: return "{\"cmd\":\"loglevel\",\"arg\":\"trace" + fifo;
        case 2: return "{\"cmd\":\"track\",\"arg\":\"" + fifo;
        default: return "{\"cmd\":\"status\",\"arg\":\"x" + fifo + "\n";
        }
    }

    std::string malformed(int i) const
    {
        switch (i % 10) {
        case 0: return "{";
        case 1: return "not json at all";
        case 2: return std::string("\0\xff\xfe{\"cmd\"", 9);
        case 3: return "[1,2,3]";
        case 4: return "{\"cmd\":5,\"arg\":null,\"fifo\":[]}";
        case 5: return "{\"cmd\":\"track\",\"arg\":\"" + std::string(3000, 'x') + "\"}";
        case 6: return "{\"cmd\":\"loglevel\",\"arg\":\"trace\",\"fifo\":\"" + decoy + "\"}";
        case 7: return "{\"cmd\":\"track\" /* comment */ ,\"arg\":\"vm01\"}";
        case 8: return std::string(1500, '[') + std::string(1500, ']');
        default: return "{\"cmd\":\"track\",\"arg\":\"vm01\",\"fifo\":\"/var/run/nowhere/x\"}";
        }
    }

    // One writer until the soak is done: every other request malformed, and
    // after every hundred a VM operation on one of its own VMs.
    Churn write_and_churn(int writer)
    {
        Churn churn;
        const std::string reply = dir.file("reply." + std::to_string(writer));
        mkfifo(reply.c_str(), 0600);
        const int replies = open(reply.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
        const int pipe = open(daemon_pipe.c_str(), O_WRONLY | O_CLOEXEC);
        if (replies < 0 || pipe < 0) {
            churn.failed = 1;
            return churn;
        }
        bool running[vms_per_writer];
        std::fill(std::begin(running), std::end(running), true);
        char drain[4096];
        for (int i = 0; !done; ++i) {
            const std::string text = i % 2 == 0 ? well_formed(i / 2, reply) : malformed(i / 2 + writer);
            {
                const std::shared_lock writing(pipe_turn);
                if (write(pipe, text.data(), text.size()) != static_cast<ssize_t>(text.size()))
                    ++churn.failed;
            }
            ++churn.requests;
            while (read(replies, drain, sizeof drain) > 0) {
            }
            if (i % requests_between_vm_operations == requests_between_vm_operations - 1) {
                const int slot = churn.vm_operations % vms_per_writer;
                const std::string name = vm_name(writer * vms_per_writer + slot);
                std::vector<std::string> args;
                if (!running[slot])
                    args = {"start", name + ":2:2"};
                else if ((churn.vm_operations / vms_per_writer) % 2 == 0)
                    args = {"restart", name};
                else
                    args = {"stop", name};
                churn.failed += simtest::run_tool(args, {}, 20s).status != 0;
                if (args[0] != "restart")
                    running[slot] = !running[slot];
                ++churn.vm_operations;
            }
            std::this_thread::sleep_for(20ms);
        }
        close(pipe);
        close(replies);
        return churn;
    }

    // `halvorn status json` answers with every VM the daemon watches. What
    // reaches the pipe together is read as one text, and a malformed request
    // in it spoils the rest: the client asks while the writers pause and the
    // pipe has been drained.
    bool status_answers()
    {
        const std::unique_lock asking(pipe_turn);
        std::this_thread::sleep_for(100ms);
        const ProgramResult result = client({"status", "json"});
        const size_t object = result.out.find('{');
        const nlohmann::json status = nlohmann::json::parse(
            object == std::string::npos ? "" : result.out.substr(object), nullptr, false);
        return result.status == 0 && status.is_object() && status.contains("vms");
    }
};

TEST_F(SoakTest, ThousandsOfTicksOfChurnLeaveTheDaemonAsItWas)
{
    // A miner judged within seconds, as the status tests have it: the host
    // counts as busy throughout and the class-1 limit stays where it starts.
    std::vector<std::string> vms{"--vm",           "miner:2:100", "--burst-secs",   "1",
                                 "--class1-limit", "30",          "--class2-limit", "25"};
    for (int i = 0; i < churned_vms; ++i)
        vms.insert(vms.end(), {"--vm", vm_name(i) + ":2:2"});
    ASSERT_NO_FATAL_FAILURE(start(
        vms,
        "UpdateTime = " + std::to_string(update_ms) +
            "\nUpdateVMList = 1\nAveragingTime = 10\nMetricsFile = " + metrics +
            "\n[RATE_LIMIT]\nMinCpuIdleLevel = 5\nMaxCpuIdleLevel = 95\n"
            "Class2RateLimitCeiling = 50\n[VCPU_CLASS]\nCpuIdleLevel = 99\nVCPU = 2\nOverloadBound = 60\n"));
    const pid_t pid = daemon->pid();

    // Warm up every path once before taking the measures.
    ASSERT_EQ(client({"track", "vm00"}).status, 0);
    ASSERT_TRUE(status_answers());
    ASSERT_TRUE(wait_ticks(4, 30)) << log_text();
    ASSERT_TRUE(wait_until([&] { return ticks_in_metrics(metrics) > 0; }, 10, daemon.get()));
    const Descriptors descriptors_before = descriptors_at_rest(pid);
    const long rss_before = resident_kib(pid);
    const size_t log_before = log_text().size();
    const uint64_t first_tick = ticks_in_metrics(metrics);

    const auto began = Clock::now();
    std::vector<Churn> churns(writer_count);
    std::vector<std::thread> writers;
    for (int w = 0; w < writer_count; ++w)
        writers.emplace_back([&, w] { churns[w] = write_and_churn(w); });

    MinerCycle miner;
    int status_queries = 0;
    int status_failures = 0;
    Descriptors descriptors_half;
    long rss_half = -1;
    auto next_status = began;
    for (uint64_t ticks = 0; ticks < soak_ticks && Clock::now() - began < soak_limit && daemon->running();) {
        std::this_thread::sleep_for(1s);
        ticks = ticks_in_metrics(metrics) - first_tick;
        miner.follow();
        if (Clock::now() >= next_status) {
            ++status_queries;
            status_failures += !status_answers();
            next_status += 10s;
        }
        if (rss_half < 0 && ticks >= soak_ticks / 2) {
            rss_half = resident_kib(pid);
            descriptors_half = descriptors_at_rest(pid);
        }
    }
    done = true;
    for (std::thread& writer : writers)
        writer.join();
    const double seconds = std::chrono::duration<double>(Clock::now() - began).count();
    const uint64_t ticks = ticks_in_metrics(metrics) - first_tick;
    ASSERT_TRUE(daemon->running()) << "the daemon died";

    // The end, measured at rest as the start was.
    ASSERT_TRUE(wait_ticks(4, 30)) << "the daemon ticks on";
    const ProgramResult answer = client({"loglevel", "trace"});
    EXPECT_EQ(answer.status, 0);
    EXPECT_NE(answer.out.find("Success: loglevel"), std::string::npos) << answer.out << answer.err;
    const Descriptors descriptors_after = descriptors_at_rest(pid);
    const long rss_after = resident_kib(pid);
    const std::string during = log_text().substr(log_before);
    const int64_t gap = longest_gap_ms(during, tick_line);
    const auto miner_moves = [&during](const std::string& move) {
        int moves = 0;
        for_each_line(during, [&](const std::string& line, size_t) {
            moves += line.find("VM_id=miner ") != std::string::npos && line.find(move) != std::string::npos;
            return true;
        });
        return moves;
    };
    const int to_class2 = miner_moves("  VCPU_class_1 => VCPU_class_2");
    const int to_class1 = miner_moves("  VCPU_class_2 => VCPU_class_1");
    Churn total;
    for (const Churn& churn : churns) {
        total.requests += churn.requests;
        total.vm_operations += churn.vm_operations;
        total.failed += churn.failed;
    }

    std::printf("soak: %.1f s, %llu ticks (UpdateTime %lld ms), longest gap between ticks %lld ms\n", seconds,
                static_cast<unsigned long long>(ticks), static_cast<long long>(update_ms),
                static_cast<long long>(gap));
    std::printf("soak: %d requests (half malformed) from %d writers, %d VM operations on %d VMs, "
                "%d status queries by the client\n",
                total.requests, writer_count, total.vm_operations, churned_vms, status_queries);
    std::printf("soak: the miner moved to class 2 %d times and back %d times (%d moves seen on the host)\n",
                to_class2, to_class1, miner.moves_seen());
    std::printf("soak: descriptors other than held run-time records %zu before, %zu at half, %zu after; "
                "held records %zu before, %zu after\n",
                descriptors_before.others.size(), descriptors_half.others.size(),
                descriptors_after.others.size(), descriptors_before.held, descriptors_after.held);
    std::printf("soak: resident memory %ld KiB before, %ld KiB at half, %ld KiB after (%+ld KiB over the "
                "second half)\n",
                rss_before, rss_half, rss_after, rss_after - rss_half);
    std::fflush(stdout);

    EXPECT_GE(ticks, soak_ticks) << "fewer ticks than asked within " << soak_limit.count() << " s";
    EXPECT_EQ(total.failed, 0);
    EXPECT_EQ(miner.failed(), 0);
    EXPECT_EQ(status_failures, 0) << "of " << status_queries;
    EXPECT_GE(to_class2, 2);
    EXPECT_GE(to_class1, 2);
    EXPECT_EQ(descriptors_half.others, descriptors_before.others)
        << "before:\n"
        << joined(descriptors_before.others) << "at half:\n"
        << joined(descriptors_half.others);
    EXPECT_EQ(descriptors_after.others, descriptors_before.others)
        << "before:\n"
        << joined(descriptors_before.others) << "after:\n"
        << joined(descriptors_after.others);
    ASSERT_GE(rss_half, 0);
    EXPECT_LT(rss_after - rss_half, resident_growth_limit_kib);
    EXPECT_GT(gap, 0);
    EXPECT_LT(gap, 3 * update_ms);
    EXPECT_EQ(read_text(decoy), "untouched\n");
    stop(*daemon);
}

}  // namespace
