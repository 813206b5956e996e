// A daemon killed and started again, as daemon(8) does after a crash, on a
// host where it has already moved a miner to class 2.
#include <csignal>

#include "e2e_sim_fixture.h"

TEST_F(SimulatedHostTest, ARestartedDaemonKeepsTheMinerItFindsInClassTwo)
{
    // The miner's two vCPUs want all of a CPU; a judgement takes 6 s.
    ASSERT_NO_FATAL_FAILURE(start({"--vm", "miner:2:100", "--vm", "calm:2:5", "--burst-secs", "3"},
                                  "UpdateTime = 500\nAveragingTime = 10\n"
                                  "[VCPU_CLASS]\nCpuIdleLevel = 99\nOverloadBound = 80\nVCPU = 2\n"));
    ASSERT_TRUE(wait_for_text(log, "  VCPU_class_1 => VCPU_class_2", 90, daemon.get())) << log_text();

    daemon->signal(SIGKILL);
    ASSERT_EQ(daemon->wait(10), 128 + SIGKILL);
    const size_t before_restart = log_text().size();
    daemon = start_serving({"-c", dir.file("halvorn.config")});

    // Three times as long as a judgement: the miner, still saturating, stays.
    ASSERT_TRUE(wait_ticks(36, 60)) << log_text();
    const std::string after = log_text().substr(before_restart);
    EXPECT_EQ(after.find("  VCPU_class_2 => VCPU_class_1"), std::string::npos) << after;
    expect_unharmed();
}
