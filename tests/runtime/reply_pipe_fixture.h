// The daemon's request handler against a reply pipe of the test's own, in a
// scratch directory that stands in for /var/run.
#pragma once

#include <string>

#include <unistd.h>

#include <gtest/gtest.h>

#include "log_capture.h"
#include "runtime/fifo.h"
#include "temp_dir.h"

class ReplyPipeTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(reply.open(FifoMode::Read, reply_path)); }

    // A request naming the test's reply pipe; the members are JSON texts.
    std::string request(const std::string& cmd_member, const std::string& arg_member = "\"\"") const
    {
        return "{\"cmd\":" + cmd_member + ",\"arg\":" + arg_member + ",\"fifo\":\"" + reply_path + "\"}";
    }

    // What one read of the reply pipe finds (it is not blocking).
    std::string answer()
    {
        char buffer[256];
        const ssize_t n = read(reply.fd, buffer, sizeof buffer);
        return n > 0 ? std::string(buffer, static_cast<std::size_t>(n)) : std::string();
    }

    TempDir dir;
    std::string daemon_path = dir.file("halvorn.cli.fifo");
    std::string reply_path = daemon_path + ".4711";
    Fifo reply;
    LogCapture log;
};
