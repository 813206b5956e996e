#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <sched.h>
#include <sys/mount.h>
#include <unistd.h>

#include "log_capture.h"
#include "read_text.h"
#include "run_program.h"
#include "temp_dir.h"
#include "startup/configuration.h"
#include "startup/settings.h"

namespace fs = std::filesystem;
using testing::internal::CaptureStderr;
using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStderr;
using testing::internal::GetCapturedStdout;

namespace {

struct Loaded {
    Settings settings;
    std::string out;
    std::string err;
};

Loaded load(const std::string& program, const std::string& config, const std::string& level = "",
            Settings* target = nullptr)
{
    Loaded r;
    Settings& s = target ? *target : r.settings;
    CaptureStdout();
    CaptureStderr();
    load_configuration(s, program, config, level);
    r.out = GetCapturedStdout();
    r.err = GetCapturedStderr();
    if (target)
        r.settings = *target;
    return r;
}

std::string unknown_level(const std::string& name)
{
    return "Unknown log level '" + name + "' (trace, debug, info, warn, err, critical, off)\n";
}

std::string cannot_load(const std::string& path)
{
    return "Can't load config file: '" + path + "'\nUsing default parameters\n";
}

// The search ends in these; a machine that has either cannot show a miss.
bool system_file_present()
{
    return fs::exists("/usr/local/etc/halvorn.config") || fs::exists("/etc/halvorn.config");
}

class ConfigurationFile : public testing::Test {
protected:
    Loaded load_text(const std::string& text, const std::string& level = "")
    {
        return load("", dir.write("test.config", text), level);
    }
    TempDir dir;
};

}  // namespace

TEST_F(ConfigurationFile, ReadsEveryKeyIntoItsField)
{
    const Loaded r =
        load_text("[COMMON]\nLogLevel = debug\nUpdateVMList = 2\nUpdateTime = 500\nAveragingTime = 60\n"
                  "[RATE_LIMIT]\nMaxCpuIdleLevel = 50\nMinCpuIdleLevel = 20\nRateLimitDelta = 3\n"
                  "[VCPU_CLASS]\nCpuIdleLevel = 40\nOverloadBound = 80\nVCPU = 2\n");
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.settings.config_file, dir.file("test.config"));
    EXPECT_EQ(r.settings.log_level, 1);
    EXPECT_EQ(r.settings.update_vm_list, 2);
    EXPECT_EQ(r.settings.update_time, 500);
    EXPECT_EQ(r.settings.averaging_time, 60);
    EXPECT_EQ(r.settings.max_cpu_idle_level, 50);
    EXPECT_EQ(r.settings.min_cpu_idle_level, 20);
    EXPECT_EQ(r.settings.rate_limit_delta, 3);
    EXPECT_EQ(r.settings.cpu_idle_level, 40);
    EXPECT_EQ(r.settings.overload_bound, 80);
    EXPECT_EQ(r.settings.vcpu, 2);
}

TEST_F(ConfigurationFile, IntegerFormsAndBoundsOnReading)
{
    const std::pair<const char*, int64_t> update_times[] = {
        {"0x1F4", 500}, {"010", 100}, {"abc", 1000},    {"", 1000},  {"750ms", 750},
        {"+400", 400},  {"50", 100},  {"20000", 10000}, {"-1", 100},
    };
    for (const auto& [text, expected] : update_times)
        EXPECT_EQ(load_text(std::string("[COMMON]\nUpdateTime = ") + text).settings.update_time, expected)
            << text;
    EXPECT_EQ(load_text("[COMMON]\nAveragingTime = 3").settings.averaging_time, 10);
    EXPECT_EQ(load_text("[VCPU_CLASS]\nVCPU = 0x10").settings.vcpu, 16);
    EXPECT_EQ(load_text("[VCPU_CLASS]\nVCPU = -7").settings.vcpu, 1);
    // A 32-bit field keeps the low 32 bits of what was read.
    EXPECT_EQ(load_text("[VCPU_CLASS]\nVCPU = 4294967298").settings.vcpu, 2);
    EXPECT_EQ(load_text("[COMMON]\nUpdateVMList = 0").settings.update_vm_list, 1);
    EXPECT_EQ(load_text("[RATE_LIMIT]\nRateLimitDelta = -5").settings.rate_limit_delta, 1);
}

TEST_F(ConfigurationFile, MetricsFileDryRunAndExempt)
{
    const Settings defaults = load_text("[COMMON]\n").settings;
    EXPECT_EQ(defaults.metrics_file, "");
    EXPECT_FALSE(defaults.dry_run);
    EXPECT_TRUE(defaults.exempt.empty());

    const Loaded r = load_text("[COMMON]\nMetricsFile = /var/tmp/halvorn.prom\nDryRun = yes\n"
                               "[VCPU_CLASS]\nExempt = build-*, db01 ,, \\\"odd\\\" ,\n");
    EXPECT_EQ(r.settings.metrics_file, "/var/tmp/halvorn.prom");
    EXPECT_TRUE(r.settings.dry_run);
    EXPECT_EQ(r.settings.exempt, (std::vector<std::string>{"build-*", "db01", "\\\"odd\\\""}));
    EXPECT_TRUE(r.settings.is_exempt("build-7"));
    EXPECT_TRUE(r.settings.is_exempt("db01"));
    EXPECT_FALSE(r.settings.is_exempt("db011"));
    EXPECT_FALSE(r.settings.is_exempt("web-build-1"));

    for (const char* on : {"true", "1", "YES"})
        EXPECT_TRUE(load_text(std::string("[COMMON]\nDryRun = ") + on).settings.dry_run) << on;
    for (const char* off : {"false", "0", "no", "maybe"})
        EXPECT_FALSE(load_text(std::string("[COMMON]\nDryRun = ") + off).settings.dry_run) << off;
}

TEST_F(ConfigurationFile, ReloadReplacesMetricsFileDryRunAndExempt)
{
    Settings s;
    const std::string path = dir.write("a.config", "[COMMON]\nMetricsFile = /tmp/m\nDryRun = 1\n"
                                                   "[VCPU_CLASS]\nExempt = a*\n");
    load("", path, "", &s);
    EXPECT_TRUE(s.dry_run);
    // A reload reads every key afresh: keys gone from the file return to
    // their defaults.
    dir.write("a.config", "[VCPU_CLASS]\nExempt = b\n");
    load("", path, "", &s);
    EXPECT_EQ(s.metrics_file, "");
    EXPECT_FALSE(s.dry_run);
    EXPECT_EQ(s.exempt, std::vector<std::string>{"b"});
}

TEST_F(ConfigurationFile, DuplicateKeysAreJoined)
{
    const Loaded r = load_text("[COMMON]\nLogLevel = debug\nLogLevel = error\n"
                               "UpdateTime = 300\nUpdateTime = 400\n");
    EXPECT_EQ(r.settings.log_level, 2);  // "debug\nerror" is no level name
    EXPECT_EQ(r.err, unknown_level("debug\nerror"));
    EXPECT_EQ(r.settings.update_time, 300);  // the number ends at the newline
}

TEST_F(ConfigurationFile, IndentedLinesContinueTheLastKey)
{
    Loaded r = load_text("[COMMON]\nUpdateTime = 300\n  AveragingTime = 40\n\n; note\n"
                         "  UpdateVMList = 9\n[RATE_LIMIT]\n  RateLimitDelta = 7\n");
    EXPECT_EQ(r.settings.update_time, 300);
    EXPECT_EQ(r.settings.averaging_time, 30);
    EXPECT_EQ(r.settings.update_vm_list, 5);
    EXPECT_EQ(r.settings.rate_limit_delta, 7);  // no key line yet in that section

    // An indented section line starts no section.
    r = load_text("[COMMON]\nUpdateTime = 300\n  [RATE_LIMIT]\nAveragingTime = 40\n");
    EXPECT_EQ(r.settings.averaging_time, 40);

    EXPECT_EQ(load_text("[COMMON]\nLogLevel = debug\n  more\n").settings.log_level, 2);
}

TEST_F(ConfigurationFile, BadLineDiscardsTheWholeFileButNotDashL)
{
    for (const char* text :
         {"[COMMON]\nUpdateTime = 300\nnot a key line\nVCPU = 8\n", "[COMMON\nUpdateTime = 300\n"}) {
        const Loaded r = load_text(text, "debug");
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.err, cannot_load(dir.file("test.config")));
        EXPECT_TRUE(r.settings.config_file.empty());
        EXPECT_EQ(r.settings.update_time, 1000);
        EXPECT_EQ(r.settings.log_level, 1);
    }
}

TEST_F(ConfigurationFile, LongLinesAreReadIn199CharacterPieces)
{
    const std::string piece = "; " + std::string(197, 'x');
    Loaded r = load_text("[VCPU_CLASS]\n" + piece + "\nVCPU = 6\n");
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.settings.vcpu, 6);

    r = load_text("[VCPU_CLASS]\n" + piece + "VCPU = 7\n");
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.settings.vcpu, 7);  // the tail is a line of its own

    r = load_text("[VCPU_CLASS]\n" + piece + "tail\nVCPU = 7\n");
    EXPECT_EQ(r.err, cannot_load(dir.file("test.config")));
    EXPECT_EQ(r.settings.vcpu, 4);
}

TEST_F(ConfigurationFile, NamesIgnoreCaseButValuesAndBracketBlanksDoNot)
{
    Loaded r = load_text("[common]\nupdatetime = 300\n[vcpu_class]\nvcpu=6\n");
    EXPECT_EQ(r.settings.update_time, 300);
    EXPECT_EQ(r.settings.vcpu, 6);
    EXPECT_EQ(load_text("[ COMMON ]\nUpdateTime = 300\n").settings.update_time, 1000);
    r = load_text("[COMMON]\nLogLevel = INFO\n");
    EXPECT_EQ(r.settings.log_level, 2);
    EXPECT_EQ(r.err, unknown_level("INFO"));
}

TEST_F(ConfigurationFile, CommentsAndByteOrderMark)
{
    EXPECT_EQ(load_text("[COMMON]\nLogLevel = debug ; chatty\n").settings.log_level, 1);
    EXPECT_EQ(load_text("[COMMON]\nLogLevel = debug;x\n").settings.log_level, 2);
    EXPECT_EQ(load_text("\xEF\xBB\xBF[COMMON]\nUpdateTime = 300\n").settings.update_time, 300);

    for (const char* text : {"", "; nothing\n# here\n\n"}) {
        const Loaded r = load_text(text);
        EXPECT_EQ(r.out + r.err, "");
        EXPECT_EQ(r.settings.config_file, dir.file("test.config"));
        EXPECT_EQ(r.settings.update_time, 1000);
        EXPECT_EQ(r.settings.log_level, 2);
    }
}

TEST_F(ConfigurationFile, DashCNamingAMissingFileSearchesNowhereElse)
{
    dir.write("halvorn.config", "[COMMON]\nUpdateTime = 300\n");
    const Loaded r = load(dir.file("halvorn"), dir.file("missing.config"));
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, cannot_load(dir.file("missing.config")));
    EXPECT_TRUE(r.settings.config_file.empty());
    EXPECT_EQ(r.settings.update_time, 1000);
}

TEST_F(ConfigurationFile, DashLOverridesTheFile)
{
    const std::string file = dir.write("test.config", "[COMMON]\nLogLevel = error\n");
    EXPECT_EQ(load("", file).settings.log_level, 4);
    EXPECT_EQ(load("", file, "trace").settings.log_level, 0);
    // A bad -l keeps the file's level, a bad LogLevel the default; both say so.
    const Loaded bad_option = load("", file, "bogus");
    EXPECT_EQ(bad_option.settings.log_level, 4);
    EXPECT_EQ(bad_option.err, unknown_level("bogus"));
    const Loaded bad_both = load("", dir.write("bad.config", "[COMMON]\nLogLevel = Info\n"), "verbose");
    EXPECT_EQ(bad_both.settings.log_level, 2);
    EXPECT_EQ(bad_both.err, unknown_level("Info") + unknown_level("verbose"));
    // "off" is a level of its own, not a failure.
    const Loaded off = load("", file, "off");
    EXPECT_EQ(off.settings.log_level, 6);
    EXPECT_EQ(off.err, "");
}

TEST_F(ConfigurationFile, SearchStartsInTheProgramsDirectory)
{
    dir.write("halvorn.config", "[COMMON]\nUpdateTime = 300\n");
    fs::create_directory(dir.file("sub"));
    Loaded r = load(dir.file("sub/../halvorn"), "");
    EXPECT_EQ(r.out + r.err, "");
    EXPECT_EQ(r.settings.config_file, dir.file("halvorn.config"));
    EXPECT_EQ(r.settings.update_time, 300);

    // Found through the search path: the working directory.
    const fs::path before = fs::current_path();
    fs::current_path(dir.path());
    r = load("halvorn", "");
    fs::current_path(before);
    EXPECT_EQ(r.settings.config_file, dir.file("halvorn.config"));
}

TEST_F(ConfigurationFile, SearchSkipsWhatCannotBeRead)
{
    if (system_file_present())
        GTEST_SKIP() << "a system-wide halvorn.config exists";
    Loaded r = load(dir.file("halvorn"), "");
    EXPECT_EQ(r.out, "No config file found. Using default parameters\n");
    EXPECT_TRUE(r.settings.config_file.empty());

    // A status query that fails (here a symbolic-link loop) skips the candidate.
    fs::create_symlink(dir.file("halvorn.config"), dir.file("halvorn.config"));
    r = load(dir.file("halvorn"), "");
    EXPECT_EQ(r.out, "No config file found. Using default parameters\n");
    fs::remove(dir.file("halvorn.config"));

    // A directory exists but is no file to read.
    fs::create_directory(dir.file("halvorn.config"));
    r = load(dir.file("halvorn"), "");
    EXPECT_EQ(r.err, cannot_load(dir.file("halvorn.config")));
    EXPECT_TRUE(r.settings.config_file.empty());
}

TEST_F(ConfigurationFile, ReloadSearchesAgainAndKeepsValuesWhenTheFileIsGone)
{
    if (system_file_present())
        GTEST_SKIP() << "a system-wide halvorn.config exists";
    Settings& s = Settings::instance();
    s = Settings();
    const std::string started = dir.write("started.config", "[COMMON]\nUpdateTime = 200\n");
    dir.write("halvorn.config", "[COMMON]\nUpdateTime = 300\n[VCPU_CLASS]\nVCPU = 8\n");
    load(dir.file("halvorn"), started, "trace", &s);
    EXPECT_EQ(s.update_time, 200);

    // The -c file and the -l level of the start no longer count. The timer
    // periods stay as started: the running timers keep theirs.
    dir.write("halvorn.config", "[COMMON]\nUpdateTime = 300\nUpdateVMList = 9\n[VCPU_CLASS]\nVCPU = 8\n");
    CaptureStdout();
    reload_configuration();
    std::string out = GetCapturedStdout();
    EXPECT_NE(out.find("Configuration file: '" + dir.file("halvorn.config") + "'"), std::string::npos) << out;
    EXPECT_NE(out.find("UpdateTime 300 takes effect at the next start"), std::string::npos) << out;
    EXPECT_NE(out.find("UpdateVMList 9 takes effect at the next start"), std::string::npos) << out;
    EXPECT_EQ(s.update_time, 200);
    EXPECT_EQ(s.update_vm_list, 5);
    EXPECT_EQ(s.vcpu, 8);
    EXPECT_EQ(s.log_level, 2);

    fs::remove(dir.file("halvorn.config"));
    s.tracked_vm = "vm1";
    CaptureStdout();
    reload_configuration();
    out = GetCapturedStdout();
    EXPECT_NE(out.find("No config file found. Using default parameters\n"), std::string::npos);
    EXPECT_NE(out.find("Configuration file: ''"), std::string::npos) << out;
    EXPECT_TRUE(s.config_file.empty());
    EXPECT_EQ(out.find("takes effect"), std::string::npos) << out;
    EXPECT_EQ(s.update_time, 200);
    EXPECT_EQ(s.vcpu, 8);
    EXPECT_EQ(s.tracked_vm, "vm1");
}

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
    const pid_t pid = fork();
    if (pid == 0) {
        if (unshare(CLONE_NEWNS) != 0 || mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
            mount("tmpfs", "/usr/local/etc", "tmpfs", 0, "mode=0755") != 0)
            _exit(90);
        std::ofstream(result) << body();
        _exit(0);
    }
    const int status = wait_for_exit(pid, std::chrono::seconds(20));
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
