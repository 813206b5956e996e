#include <cstdio>
#include <exception>
#include <filesystem>
#include <string>

#include <unistd.h>

#include "bindings/vmmapi.h"
#include "controller/controller.h"
#include "runtime/daemon_main.h"
#include "startup/command_line.h"
#include "startup/identity.h"
#include "startup/settings.h"

namespace {

// Only the last path component counts, so any path to the program passes.
bool executable_name_ok(const std::string& file_name)
{
    return file_name == program_name() || file_name == program_name() + ".debug";
}

}  // namespace

int main(int argc, char** argv)
{
    const int parsed = parse_arguments(Settings::instance(), argc, argv);
    if (parsed > 0)
        return 0;
    if (parsed < 0)
        return 1;

    const std::string file_name =
        argc > 0 && argv[0] != nullptr ? std::filesystem::path(argv[0]).filename().string() : "";
    if (!executable_name_ok(file_name)) {
        std::fprintf(stderr, "Bad execution file name: [%s] <> [%s[.debug]]\n", file_name.c_str(),
                     program_name().c_str());
        return 1;
    }

    const std::string vmmapi_error = vmmapi_load_error();
    if (!vmmapi_error.empty()) {
        std::fprintf(stderr, "'libvmmapi': %s\n", vmmapi_error.c_str());
        return 1;
    }

    // The real user: a set-user-id start by someone else is refused.
    if (getuid() != 0) {
        std::fputs("The program must be run at root\n", stderr);
        return 1;
    }

    try {
        Controller controller;
        return daemon_main(controller);
    } catch (const std::exception& e) {
        // Nothing past start-up should throw; never end in an abort.
        std::fprintf(stderr, "%s: %s\n", program_name().c_str(), e.what());
        return 1;
    }
}
