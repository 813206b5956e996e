#pragma once

// How the start-up tests run the real halvorn: its path, the fake libvmmapi
// variants to put on the library path, and a way to drop root.

#include <filesystem>
#include <string>
#include <vector>

#include <grp.h>
#include <pwd.h>
#include <unistd.h>

#include "run_program.h"
#include "temp_dir.h"

inline const std::string halvorn_path = HALVORN_EXE;

// An environment whose library path holds only the given fake-library variant
// ("empty" has no libvmmapi.so at all).
inline std::vector<std::string> env_with(const std::string& variant)
{
    return {"PATH=/usr/bin:/bin", "LD_LIBRARY_PATH=" FAKE_LIB_DIR "/" + variant};
}

// Runs as another user must not reach into the build tree, which may lie
// under a directory only root can enter (a checkout in /root). These copy the
// program, or a library variant, into a scratch directory that user can read.
inline std::string copy_of_halvorn(const TempDir& dir, const std::string& name)
{
    const std::string copy = dir.file(name);
    std::filesystem::copy_file(halvorn_path, copy, std::filesystem::copy_options::skip_existing);
    return copy;
}

inline std::vector<std::string> env_with_copy(const TempDir& dir, const std::string& variant)
{
    namespace fs = std::filesystem;
    const fs::path lib_dir = dir.file("lib-" + variant);
    fs::create_directory(lib_dir);
    fs::permissions(lib_dir, fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                                 fs::perms::others_read | fs::perms::others_exec);
    const fs::path library = fs::path(FAKE_LIB_DIR) / variant / "libvmmapi.so";
    if (fs::exists(library))
        fs::copy_file(library, lib_dir / "libvmmapi.so", fs::copy_options::skip_existing);
    return {"PATH=/usr/bin:/bin", "LD_LIBRARY_PATH=" + lib_dir.string()};
}

struct User {
    uid_t uid;
    gid_t gid;
};

inline User nobody()
{
    const passwd* pw = getpwnam("nobody");
    return pw ? User{pw->pw_uid, pw->pw_gid} : User{65534, 65534};
}

// Real, effective and saved ids all become `user`'s.
inline bool become(User user)
{
    return setgroups(0, nullptr) == 0 && setresgid(user.gid, user.gid, user.gid) == 0 &&
           setresuid(user.uid, user.uid, user.uid) == 0;
}
