#include "startup/command_line.h"

#include <cstdio>
#include <string>

#include <getopt.h>

#include "startup/configuration.h"
#include "startup/identity.h"
#include "startup/settings.h"

namespace {

enum Mode { bad_option = -1, run = 0, help = 1, version = 2 };

const option long_options[] = {
    {"config", required_argument, nullptr, 'c'},
    {"loglevel", required_argument, nullptr, 'l'},
    {"version", no_argument, nullptr, 'v'},
    {"help", no_argument, nullptr, 'h'},
    {nullptr, 0, nullptr, 0},
};

}  // namespace

int parse_arguments(Settings& settings, int argc, char** argv)
{
    // An empty argument vector is possible through execve(); there is then
    // neither a program path nor anything for getopt to read.
    const std::string program_path = argc > 0 && argv[0] != nullptr ? argv[0] : "";
    std::string config_option;
    std::string level_option;
    int mode = run;

    if (argc > 0) {
        int opt;
        while ((opt = getopt_long(argc, argv, "c:l:vh", long_options, nullptr)) != -1) {
            switch (opt) {
            case 'c': config_option = optarg; break;
            case 'l': level_option = optarg; break;
            case 'v': mode = version; break;
            case 'h': mode = help; break;
            default: mode = bad_option; break;
            }
        }
        // getopt_long has moved the words behind the options.
        if (optind < argc)
            settings.command = argv[optind];
        if (optind + 1 < argc)
            settings.command_arg = argv[optind + 1];
    }

    if (mode == version) {
        std::printf("%s version: %s\n", program_name().c_str(), program_version().c_str());
        return mode;
    }
    if (mode != run) {
        print_usage();
        return mode;
    }
    load_configuration(settings, program_path, config_option, level_option);
    return run;
}

void print_usage()
{
    std::printf("\t%s.\n", program_description().c_str());
    std::printf("  %s <command> <--options>\n", program_name().c_str());
    std::puts(" Commands: Options:");
    std::puts("           -v, --version           Display program version");
    std::puts("           -h, --help              Display this help menu");
    std::puts("");
    std::puts("     on start:");
    std::puts("           -c, --config   Path to config file");
    std::puts("           -l, --loglevel Logging level (trace, debug, info,");
    std::puts("                                   warn, err, critical, off)");
    std::puts("");
    std::puts("     runtime:");
    std::puts("  loglevel                Reset log level to [loglevel]");
    std::puts("  track                   Tracking VM [vmid]");
    std::puts("  status                  Show the host and the VMs [json]");
    std::puts("");
}
