#pragma once

// How the start-up tests run the real halvorn: its path, the fake libvmmapi
// variants to put on the library path, and a way to drop root.

#include <string>
#include <vector>

#include <grp.h>
#include <pwd.h>
#include <unistd.h>

inline const std::string halvorn_path = HALVORN_EXE;

// An environment whose library path holds only the given fake-library variant
// ("empty" has no libvmmapi.so at all).
inline std::vector<std::string> env_with(const std::string& variant)
{
    return {"PATH=/usr/bin:/bin", "LD_LIBRARY_PATH=" FAKE_LIB_DIR "/" + variant};
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
