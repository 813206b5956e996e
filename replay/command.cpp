#include "replay/command.h"

#include <charconv>
#include <string_view>

#include "replay/sample_csv.h"

namespace {

// The value of an option given as "--name VALUE" or "--name=VALUE".
bool option_value(std::string_view arg, std::string_view name, int argc, char** argv, int& i,
                  std::string& value, std::string& error)
{
    if (arg == name) {
        if (i + 1 >= argc) {
            error = std::string(name) + " needs a value";
            return true;
        }
        value = argv[++i];
        return true;
    }
    if (arg.size() > name.size() && arg.substr(0, name.size()) == name && arg[name.size()] == '=') {
        value = arg.substr(name.size() + 1);
        return true;
    }
    return false;
}

bool host_cpus_value(const std::string& value, int& cpus)
{
    const auto [end, error] = std::from_chars(value.data(), value.data() + value.size(), cpus);
    return !value.empty() && error == std::errc() && end == value.data() + value.size() && cpus >= 1 &&
           cpus <= most_host_cpus;
}

}  // namespace

std::string parse_command(int argc, char** argv, ReplayCommand& command)
{
    bool options_end = false;
    for (int i = 1; i < argc; ++i) {
        const std::string_view arg = argv[i];
        if (options_end || arg.empty() || arg.front() != '-' || arg == "-") {
            command.recordings.emplace_back(arg);
            continue;
        }
        std::string value;
        std::string error;
        if (arg == "--") {
            options_end = true;
        } else if (arg == "-h" || arg == "--help") {
            command.help = true;
        } else if (arg == "--log") {
            command.log = true;
        } else if (arg == "--json") {
            command.json = true;
        } else if (option_value(arg, "-c", argc, argv, i, value, error) ||
                   option_value(arg, "--config", argc, argv, i, value, error)) {
            if (!error.empty())
                return error;
            command.config = value;
        } else if (option_value(arg, "--chart", argc, argv, i, value, error)) {
            if (!error.empty())
                return error;
            command.chart = value;
        } else if (option_value(arg, "--host-cpus", argc, argv, i, value, error)) {
            if (!error.empty())
                return error;
            if (!host_cpus_value(value, command.host_cpus))
                return "--host-cpus takes a whole number from 1 to " + std::to_string(most_host_cpus) +
                       ", not '" + value + "'";
        } else if (option_value(arg, "--set", argc, argv, i, value, error)) {
            if (!error.empty())
                return error;
            if (std::string wrong = add_setting(command.sets, value); !wrong.empty())
                return wrong;
        } else {
            return "unknown option " + std::string(arg);
        }
    }
    if (command.help)
        return {};
    if (command.recordings.empty())
        return "no recording given";
    if (command.log && command.json)
        return "--log and --json exclude each other";
    return {};
}
