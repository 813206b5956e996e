#include "startup/identity.h"

#include "build_os.h"

std::string program_name() { return "halvorn"; }
std::string program_description() { return "Orvane priority controller"; }
std::string program_version() { return "9eb920ba"; }
std::string build_os_version() { return HALVORN_BUILD_OS_VERSION; }
