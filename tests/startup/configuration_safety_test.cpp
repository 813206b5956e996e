// Files others than root can write are never read, at start or reload.
#include <fstream>
#include <functional>
#include <string>

#include <gtest/gtest.h>
#include <sched.h>
#include <sys/mount.h>
#include <unistd.h>

#include "child_process.h"
#include "configuration_fixture.h"
#include "log_capture.h"
#include "read_text.h"

namespace {

// The three ways a file can be open to others than root, each with its reason.
struct Unsafe {
    uid_t owner;
    gid_t group;
    fs::perms mode;
    std::string reason;
};

const Unsafe unsafe_files[] = {
    {65534, 0, fs::perms(0644), "not owned by root"},
    {0, 0, fs::perms(0646), "writable by others"},
    {0, 1234, fs::perms(0664), "writable by group 1234"},
};

void make(const std::string& path, uid_t owner, gid_t group, fs::perms mode)
{
    ASSERT_EQ(chown(path.c_str(), owner, group), 0) << path;
    fs::permissions(path, mode);
}

std::string not_safe(const std::string& path, const std::string& reason)
{
    return "Config file '" + path + "' is not safe: " + reason + "; skipped";
}

}  // namespace

TEST_F(ConfigurationFile, FilesOthersCanWriteAreNeverRead)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root to hand files to other owners";
    const std::string file = dir.write("test.config", "[VCPU_CLASS]\nVCPU = 8\n");
    for (const Unsafe& u : unsafe_files) {
        make(file, u.owner, u.group, u.mode);
        const Loaded r = load("", file);
        EXPECT_EQ(r.err, not_safe(file, u.reason) + "\nUsing default parameters\n");
        EXPECT_TRUE(r.settings.config_file.empty());
        EXPECT_EQ(r.settings.vcpu, 4);
    }
    // Root's own group may write it; root's 0644 file is the usual case.
    for (const fs::perms mode : {fs::perms(0664), fs::perms(0644)}) {
        make(file, 0, 0, mode);
        const Loaded r = load("", file);
        EXPECT_EQ(r.err, "");
        EXPECT_EQ(r.settings.vcpu, 8);
    }
}

TEST_F(ConfigurationFile, ReloadLogsUnsafeFilesAndKeepsTheValues)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root to hand files to other owners";
    if (system_file_present())
        GTEST_SKIP() << "a system-wide halvorn.config exists";
    Settings& s = Settings::instance();
    s = Settings();
    const std::string file = dir.write("halvorn.config", "[VCPU_CLASS]\nVCPU = 8\n");
    load(dir.file("halvorn"), "", "", &s);
    ASSERT_EQ(s.vcpu, 8);
    dir.write("halvorn.config", "[COMMON]\nLogLevel = Debug\n[VCPU_CLASS]\nVCPU = 2\n");

    for (const Unsafe& u : unsafe_files) {
        make(file, u.owner, u.group, u.mode);
        LogCapture log;
        CaptureStdout();
        reload_configuration();
        GetCapturedStdout();
        const auto lines = log.take();
        ASSERT_FALSE(lines.empty());
        EXPECT_EQ(lines[0], LogCapture::Line(spdlog::level::err, not_safe(file, u.reason)));
        EXPECT_EQ(s.vcpu, 8);
    }

    // A safe file again: read, and its bad level name is an error line too.
    make(file, 0, 0, fs::perms(0644));
    LogCapture log;
    CaptureStdout();
    reload_configuration();
    GetCapturedStdout();
    EXPECT_EQ(s.vcpu, 2);
    EXPECT_EQ(s.log_level, 2);
    const auto lines = log.take();
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines[0], LogCapture::Line(spdlog::level::err, "Unknown log level 'Debug' (trace, debug, info, "
                                                             "warn, err, critical, off)"));
}

namespace {

// Runs `body` in a child whose /usr/local/etc is a private empty tmpfs, so the
// later search candidates can be planted without touching the host. Returns
// what `body` returned, or why the child failed.
std::string with_private_etc(const TempDir& dir, const std::function<std::string()>& body)
{
    const std::string result = dir.file("child.result");
    ChildProcess child(
        [&] {
            if (unshare(CLONE_NEWNS) != 0 ||
                mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
                mount("tmpfs", "/usr/local/etc", "tmpfs", 0, "mode=0755") != 0)
                return 90;
            std::ofstream(result) << body();
            return 0;
        },
        {.keep_output = true});
    const int status = child.wait(20);
    return status == 0 ? read_text(result) : "child failed: " + std::to_string(status);
}

}  // namespace

TEST_F(ConfigurationFile, UnsafeFileFirstInTheSearchGivesWayToTheAdministrators)
{
    if (geteuid() != 0 || !fs::is_directory("/usr/local/etc"))
        GTEST_SKIP() << "needs root and /usr/local/etc";
    const std::string planted = dir.write("halvorn.config", "[VCPU_CLASS]\nVCPU = 1\n");
    make(planted, 65534, 65534, fs::perms(0644));
    const std::string found = with_private_etc(dir, [&] {
        std::ofstream("/usr/local/etc/halvorn.config") << "[VCPU_CLASS]\nVCPU = 6\n";
        const Loaded r = load(dir.file("halvorn"), "");
        return r.settings.config_file.string() + "|" + std::to_string(r.settings.vcpu) + "|" + r.out + "|" +
               r.err;
    });
    EXPECT_EQ(found, "/usr/local/etc/halvorn.config|6||" + not_safe(planted, "not owned by root") + "\n");
}
