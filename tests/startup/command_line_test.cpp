#include <getopt.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "program_env.h"
#include "run_program.h"
#include "temp_dir.h"
#include "startup/command_line.h"
#include "startup/settings.h"

using testing::internal::CaptureStderr;
using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStderr;
using testing::internal::GetCapturedStdout;

namespace {

const char usage_text[] = "\tOrvane priority controller.\n"
                          "  halvorn <command> <--options>\n"
                          " Commands: Options:\n"
                          "           -v, --version           Display program version\n"
                          "           -h, --help              Display this help menu\n"
                          "\n"
                          "     on start:\n"
                          "           -c, --config   Path to config file\n"
                          "           -l, --loglevel Logging level (trace, debug, info,\n"
                          "                                   warn, err, critical, off)\n"
                          "\n"
                          "     runtime:\n"
                          "  loglevel                Reset log level to [loglevel]\n"
                          "  track                   Tracking VM [vmid]\n"
                          "  status                  Show the host and the VMs [json]\n"
                          "\n";

const char version_text[] = "halvorn version: 9eb920ba\n";

struct Parsed {
    int result;
    Settings settings;
};

// Runs parse_arguments in this process on a fresh record; -c names an empty
// file so no search happens.
class CommandLine : public testing::Test {
protected:
    Parsed parse(std::vector<std::string> words)
    {
        words.insert(words.begin(), {"halvorn", "-c", config});
        std::vector<char*> argv;
        for (std::string& w : words)
            argv.push_back(w.data());
        argv.push_back(nullptr);
        optind = 0;  // getopt starts over
        Parsed p{0, Settings()};
        CaptureStdout();
        p.result = parse_arguments(p.settings, static_cast<int>(argv.size() - 1), argv.data());
        GetCapturedStdout();
        return p;
    }
    TempDir dir;
    std::string config = dir.write("empty.config", "");
};

ProgramResult run_halvorn(std::vector<std::string> args, const std::string& argv0 = "halvorn")
{
    args.insert(args.begin(), argv0);
    return run_program(halvorn_path, args, {.env = env_with("empty")});
}

}  // namespace

TEST_F(CommandLine, WordsMayStandAnywhereAmongTheOptions)
{
    for (const auto& words : std::vector<std::vector<std::string>>{
             {"-l", "debug", "track", "vm1"},
             {"track", "vm1", "-l", "debug"},
             {"track", "-l", "debug", "vm1"},
             {"track", "--loglevel=debug", "vm1", "extra"},
         }) {
        const Parsed p = parse(words);
        EXPECT_EQ(p.result, 0);
        EXPECT_EQ(p.settings.command, "track");
        EXPECT_EQ(p.settings.command_arg, "vm1");
        EXPECT_EQ(p.settings.log_level, 1);
    }
    const Parsed alone = parse({"track"});
    EXPECT_EQ(alone.settings.command, "track");
    EXPECT_EQ(alone.settings.command_arg, "");
    const Parsed none = parse({});
    EXPECT_EQ(none.settings.command, "");
}

TEST_F(CommandLine, LaterOptionValuesReplaceEarlierOnes)
{
    const Parsed p = parse({"-l", "trace", "--loglevel", "err", "--config", config});
    EXPECT_EQ(p.settings.log_level, 4);
    EXPECT_EQ(p.settings.config_file, config);
}

TEST_F(CommandLine, EmptyArgumentVectorReadsNoOptions)
{
    char* argv[] = {nullptr};
    Settings s;
    CaptureStdout();
    EXPECT_EQ(parse_arguments(s, 0, argv), 0);
    GetCapturedStdout();
}

TEST(HalvornCommandLine, UsageAndVersionTexts)
{
    ProgramResult r = run_halvorn({"-h"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, usage_text);
    EXPECT_EQ(r.err, "");

    r = run_halvorn({"--version"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, version_text);
    EXPECT_EQ(r.err, "");
}

TEST(HalvornCommandLine, LastOfVersionHelpAndBadOptionDecides)
{
    ProgramResult r = run_halvorn({"-x", "-v"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, version_text);
    EXPECT_NE(r.err.find("invalid option"), std::string::npos) << r.err;

    r = run_halvorn({"-v", "-x"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, usage_text);
    EXPECT_NE(r.err.find("invalid option"), std::string::npos) << r.err;

    r = run_halvorn({"-v", "-h"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, usage_text);

    r = run_halvorn({"-h", "--version"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, version_text);

    r = run_halvorn({"track", "-c"});  // missing argument
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, usage_text);
    EXPECT_NE(r.err.find("requires an argument"), std::string::npos) << r.err;
}

TEST(HalvornCommandLine, VersionAndUsageNeedNeitherRootNorLibraryNorName)
{
    const User user = nobody();
    const TempDir dir;
    const std::string copy = copy_of_halvorn(dir, "halvorn");
    for (const char* option : {"-v", "-h"}) {
        const ProgramResult r =
            run_program(copy, {"halvorn2", option},
                        {.env = env_with_copy(dir, "empty"), .in_child = [user] { return become(user); }});
        EXPECT_EQ(r.status, 0) << option;
        EXPECT_EQ(r.out, option == std::string("-v") ? version_text : usage_text);
        EXPECT_EQ(r.err, "");
    }
}
