// The daemon under a long churn: twenty simulated VMs stopped, started and
// restarted while four writers pour well-formed and malformed requests into
// its pipe. Afterwards it must be as it was: alive, answering, no descriptor
// or memory gone astray, ticks on time, and a clean stop.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <fstream>
#include <thread>

#include "e2e_sim_fixture.h"

namespace {

using namespace std::chrono_literals;

constexpr int vm_count = 20;
constexpr int writer_count = 4;
constexpr int requests_per_writer = 5000;
constexpr int vm_operations_per_writer = 125;
constexpr int64_t update_ms = 500;

std::string vm_name(int index)
{
    char name[8];
    std::snprintf(name, sizeof name, "vm%02d", index);
    return name;
}

// The daemon's descriptors and what they lead to. A tick holds a few for
// its length, so the fewest seen over a second is the count at rest.
std::vector<std::string> descriptors_at_rest(pid_t pid)
{
    std::vector<std::string> fewest;
    for (int sample = 0; sample < 20; ++sample) {
        std::vector<std::string> open;
        const std::string fds = "/proc/" + std::to_string(pid) + "/fd";
        if (DIR* dir = opendir(fds.c_str())) {
            while (const dirent* entry = readdir(dir)) {
                if (entry->d_name[0] == '.')
                    continue;
                char target[256] = {};
                const ssize_t n = readlink((fds + "/" + entry->d_name).c_str(), target, sizeof target - 1);
                open.push_back(std::string(entry->d_name) + " " + (n > 0 ? target : "?"));
            }
            closedir(dir);
        }
        if (sample == 0 || open.size() < fewest.size())
            fewest = open;
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

struct SoakTest : SimulatedHostTest {
    // A reply pipe that is not a pipe: the daemon must never write into it.
    const std::string decoy = dir.write("decoy", "untouched\n");

    std::string well_formed(int i, const std::string& reply) const
    {
        const std::string fifo = "\",\"fifo\":\"" + reply + "\"}";
        switch (i % 4) {
        case 0: return "{\"cmd\":\"track\",\"arg\":\"" + vm_name(i % vm_count) + fifo;
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

    // One writer: its share of requests, every other one malformed, with a
    // VM operation on one of its own five VMs after every 40 requests.
    // Returns the number of VM operations that failed.
    int write_and_churn(int writer)
    {
        const std::string reply = dir.file("reply." + std::to_string(writer));
        mkfifo(reply.c_str(), 0600);
        const int replies = open(reply.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
        const int pipe = open(daemon_pipe.c_str(), O_WRONLY | O_CLOEXEC);
        if (replies < 0 || pipe < 0)
            return -1;
        bool running[5] = {true, true, true, true, true};
        int operations = 0;
        int failed = 0;
        char drain[4096];
        for (int i = 0; i < requests_per_writer; ++i) {
            const std::string text = i % 2 == 0 ? well_formed(i / 2, reply) : malformed(i / 2 + writer);
            if (write(pipe, text.data(), text.size()) != static_cast<ssize_t>(text.size()))
                ++failed;
            while (read(replies, drain, sizeof drain) > 0) {
            }
            if (i % 40 == 39 && operations < vm_operations_per_writer) {
                const int slot = operations % 5;
                const std::string name = vm_name(writer * 5 + slot);
                std::vector<std::string> args;
                if (!running[slot])
                    args = {"start", name + ":2:5"};
                else if ((operations / 5) % 2 == 0)
                    args = {"restart", name};
                else
                    args = {"stop", name};
                failed += simtest::run_tool(args, {}, 20s).status != 0;
                if (args[0] != "restart")
                    running[slot] = !running[slot];
                ++operations;
            }
            std::this_thread::sleep_for(2ms);
        }
        close(pipe);
        close(replies);
        return failed;
    }
};

TEST_F(SoakTest, ChurningVmsAndFloodedRequestsLeaveTheDaemonAsItWas)
{
    std::vector<std::string> vms;
    for (int i = 0; i < vm_count; ++i)
        vms.insert(vms.end(), {"--vm", vm_name(i) + ":2:5"});
    ASSERT_NO_FATAL_FAILURE(start(vms, "UpdateTime = " + std::to_string(update_ms) +
                                           "\nUpdateVMList = 1\n[VCPU_CLASS]\nVCPU = 2\n"));
    const pid_t pid = daemon->pid();

    // Warm up every path once before taking the measures.
    ASSERT_EQ(client({"track", "vm00"}).status, 0);
    ASSERT_EQ(client({"status"}).status, 0);
    ASSERT_TRUE(wait_ticks(4, 30)) << log_text();
    const std::vector<std::string> descriptors_before = descriptors_at_rest(pid);
    const long rss_before = resident_kib(pid);
    const size_t log_before = log_text().size();

    const auto began = std::chrono::steady_clock::now();
    std::atomic<int> failures = 0;
    std::vector<std::thread> writers;
    for (int w = 0; w < writer_count; ++w)
        writers.emplace_back([&, w] { failures += write_and_churn(w); });
    for (std::thread& writer : writers)
        writer.join();
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - began).count();
    EXPECT_EQ(failures, 0);

    ASSERT_TRUE(wait_ticks(4, 30)) << "the daemon ticks on";
    // The daemon holds a descriptor on each watched vCPU thread's run time,
    // so compare it watching the same VMs as before: a restarted VM is only
    // watched again from the next VM-list rebuild (one a minute).
    const std::string rebuild_line = "Update VM list";
    ASSERT_TRUE(wait_for_text(log, rebuild_line, 75, daemon.get(), count_of(log_text(), rebuild_line) + 1))
        << "the VM list is rebuilt";
    const ProgramResult answer = client({"loglevel", "trace"});
    EXPECT_EQ(answer.status, 0);
    EXPECT_NE(answer.out.find("Success: loglevel"), std::string::npos) << answer.out << answer.err;
    ASSERT_TRUE(wait_ticks(2, 30));
    const std::vector<std::string> descriptors_after = descriptors_at_rest(pid);
    const long rss_after = resident_kib(pid);
    const std::string during = log_text().substr(log_before);
    const int64_t gap = longest_gap_ms(during, tick_line);
    const int requests = writer_count * requests_per_writer;

    std::printf("soak: %.1f s, %d requests (%d malformed) from %d writers, %d VM operations on %d VMs\n",
                seconds, requests, requests / 2, writer_count, writer_count * vm_operations_per_writer,
                vm_count);
    std::printf("soak: descriptors %zu before, %zu after\n", descriptors_before.size(),
                descriptors_after.size());
    std::printf("soak: resident memory %ld KiB before, %ld KiB after (%+ld KiB)\n", rss_before, rss_after,
                rss_after - rss_before);
    std::printf("soak: longest gap between ticks %lld ms (UpdateTime %lld ms), %d ticks\n",
                static_cast<long long>(gap), static_cast<long long>(update_ms), count_of(during, tick_line));

    EXPECT_TRUE(daemon->running());
    EXPECT_EQ(descriptors_after.size(), descriptors_before.size()) << "before:\n"
                                                                   << joined(descriptors_before) << "after:\n"
                                                                   << joined(descriptors_after);
    EXPECT_LT(rss_after - rss_before, 1024);
    EXPECT_GT(gap, 0);
    EXPECT_LT(gap, 3 * update_ms);
    EXPECT_EQ(read_text(decoy), "untouched\n");
    stop(*daemon);
}

}  // namespace
