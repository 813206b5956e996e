// The checks of halvorn's start, in their order: executable name, libvmmapi,
// root. Each run names a missing -c file so its configuration messages are
// known; those come first, whatever check stops the start.

#include <filesystem>
#include <string>

#include <gtest/gtest.h>

#include "program_env.h"
#include "run_program.h"
#include "temp_dir.h"

namespace fs = std::filesystem;

namespace {

const std::string config_notice =
    "Can't load config file: '/nonexistent/halvorn.config'\nUsing default parameters\n";
const std::string dlopen_prefix = "'libvmmapi': dlopen: libvmmapi.so: ";
const std::string not_root = "The program must be run at root\n";

class StartupChecks : public testing::Test {
protected:
    // Runs halvorn through a symbolic link named `name` in a scratch directory.
    ProgramResult run_as(const std::string& name, const std::string& variant)
    {
        const std::string link = dir.file(name);
        if (!fs::is_symlink(link))
            fs::create_symlink(halvorn_path, link);
        return run_program(link, {link, "-c", "/nonexistent/halvorn.config"}, {.env = env_with(variant)});
    }
    // The same as the user nobody, from copies that user can reach.
    ProgramResult run_as_nobody(const std::string& variant)
    {
        const std::string copy = copy_of_halvorn(dir, "halvorn");
        const User user = nobody();
        return run_program(copy, {copy, "-c", "/nonexistent/halvorn.config"},
                           {.env = env_with_copy(dir, variant), .in_child = [user] { return become(user); }});
    }
    TempDir dir;
};

}  // namespace

TEST_F(StartupChecks, ExecutableNameComesFirst)
{
    ProgramResult r = run_as("halvorn2", "empty");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, config_notice + "Bad execution file name: [halvorn2] <> [halvorn[.debug]]\n");
    EXPECT_EQ(r.out, "");

    r = run_as("Halvorn", "vmmapi-full");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, config_notice + "Bad execution file name: [Halvorn] <> [halvorn[.debug]]\n");
}

TEST_F(StartupChecks, NamesThatPassGoOnToTheLibraryCheck)
{
    for (const char* name : {"halvorn", "halvorn.debug"}) {
        const ProgramResult r = run_as(name, "empty");
        EXPECT_EQ(r.status, 1) << name;
        EXPECT_EQ(r.err.rfind(config_notice + dlopen_prefix, 0), 0u) << r.err;
        EXPECT_EQ(r.err.back(), '\n');
    }
    // A relative path: only its last component counts.
    const ProgramResult r =
        run_program(halvorn_path, {"./some/dir/halvorn", "-c", "/nonexistent/halvorn.config"},
                    {.env = env_with("empty")});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err.rfind(config_notice + dlopen_prefix, 0), 0u) << r.err;
}

TEST_F(StartupChecks, IncompleteLibraryIsNamedWithTrailingBlank)
{
    const ProgramResult r = run_as("halvorn", "vmmapi-no-ping-livestream");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err,
              config_notice + "'libvmmapi': functions not found: vmmapi_vm_ping vmmapi_vm_livestream \n");
}

TEST_F(StartupChecks, LibraryIsCheckedBeforeRoot)
{
    const ProgramResult r = run_as_nobody("empty");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err.rfind(config_notice + dlopen_prefix, 0), 0u) << r.err;
}

TEST_F(StartupChecks, NonRootIsRefused)
{
    const ProgramResult r = run_as_nobody("vmmapi-full");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, config_notice + not_root);
}

TEST_F(StartupChecks, RealUserIdIsTheOneChecked)
{
    // Effective root with another real user, as after a set-user-id start.
    // The linker then ignores LD_LIBRARY_PATH, so this copy of halvorn finds
    // the fake library through its own run path.
    const User user = nobody();
    const ProgramResult r = run_program(
        HALVORN_RUNPATH_EXE, {"halvorn", "-c", "/nonexistent/halvorn.config"},
        {.env = {"PATH=/usr/bin:/bin"}, .in_child = [user] { return setresuid(user.uid, 0, 0) == 0; }});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, config_notice + not_root);
}
