#pragma once

#include <string>

// "halvorn": executable name, config file name, syslog identity, pipe names.
std::string program_name();
// "Orvane priority controller": the banner, usage line and process titles.
std::string program_description();
// The revision the program was built from.
std::string program_version();
// The build host's OS: system, host, release, system, release, machine.
std::string build_os_version();
