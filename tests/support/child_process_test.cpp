#include "child_process.h"

#include <gtest/gtest.h>

#include <csignal>
#include <cstdlib>
#include <stdexcept>
#include <string>

#include <sys/wait.h>
#include <unistd.h>

#include "read_text.h"
#include "temp_dir.h"

using namespace std::chrono_literals;

TEST(ChildProcess, ReportsExitStatusAndSignal)
{
    ChildProcess exits({"/bin/sh", "-c", "exit 3"}, {});
    EXPECT_EQ(exits.wait(10), 3);
    EXPECT_FALSE(exits.running());
    EXPECT_EQ(exits.wait(0), 3);  // kept once reaped

    ChildProcess sleeps({"/bin/sh", "-c", "exec sleep 30"}, {});
    EXPECT_TRUE(sleeps.running());
    EXPECT_EQ(sleeps.wait(0.05), -1);
    EXPECT_EQ(sleeps.stop(10s), 128 + SIGTERM);
    EXPECT_EQ(sleeps.stop(10s), 128 + SIGTERM);  // a second stop signals nobody
}

TEST(ChildProcess, WritesOutputAndEnvironmentWhereAsked)
{
    TempDir dir;
    const std::string out = dir.file("out");
    const std::string err = dir.file("err");
    ChildProcess both({"/bin/sh", "-c", "echo $GREETING; echo oops >&2"},
                      {.env = {"GREETING=hello"}, .stdout_path = out});
    ASSERT_EQ(both.wait(10), 0);
    EXPECT_EQ(read_text(out), "hello\noops\n");

    ChildProcess apart({"/bin/sh", "-c", "echo fine; echo oops >&2"},
                       {.stdout_path = out, .stderr_path = err});
    ASSERT_EQ(apart.wait(10), 0);
    EXPECT_EQ(read_text(out), "hello\noops\nfine\n");  // appended, not truncated
    EXPECT_EQ(read_text(err), "oops\n");
}

TEST(ChildProcess, ExecutableAndHookDecideWhatRuns)
{
    ChildProcess renamed({"not-a-program", "-c", "exit 4"}, {.executable = "/bin/sh"});
    EXPECT_EQ(renamed.wait(10), 4);

    ChildProcess refused({"/bin/sh", "-c", "exit 0"}, {.in_child = [] { return false; }});
    EXPECT_EQ(refused.wait(10), 127);

    ChildProcess missing({"/nonexistent/program"}, {});
    EXPECT_EQ(missing.wait(10), 127);

    // A function runs in place of a program, in the same environment; one
    // that throws ends its child, never goes on into the test's own code.
    ChildProcess body([] { return std::getenv("GREETING") != nullptr ? 5 : 6; }, {.env = {"GREETING=hello"}});
    EXPECT_EQ(body.wait(10), 5);
    ChildProcess throws([]() -> int { throw std::runtime_error("out of the body"); }, {});
    EXPECT_EQ(throws.wait(10), 127);
}

TEST(ChildProcess, EndingTheObjectKillsAndReapsTheChild)
{
    pid_t pid = -1;
    {
        ChildProcess sleeps({"/bin/sh", "-c", "exec sleep 30"}, {});
        pid = sleeps.pid();
        ASSERT_TRUE(sleeps.running());
    }
    // Reaped: no zombie is left for us to wait on.
    EXPECT_EQ(waitpid(pid, nullptr, WNOHANG), -1);
}
