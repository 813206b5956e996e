#include "replay/command.h"

#include <algorithm>
#include <cstdlib>
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
    bool has_range = false;
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
        } else if (arg == "--suggest") {
            command.suggest = true;
        } else if (option_value(arg, "--host-cpus", argc, argv, i, value, error)) {
            if (!error.empty())
                return error;
            if (!host_cpus_value(value, command.host_cpus))
                return "--host-cpus takes a whole number from 1 to " + std::to_string(most_host_cpus) +
                       ", not '" + value + "'";
        } else if (option_value(arg, "--set", argc, argv, i, value, error)) {
            if (!error.empty())
                return error;
            command.set_texts.push_back(value);
            // A range is checked by the search, which alone takes one.
            if (value.find("..") != std::string::npos)
                has_range = true;
            else if (std::string wrong = add_setting(command.sets, value); !wrong.empty())
                return wrong;
        } else if (option_value(arg, "--budget", argc, argv, i, value, error)) {
            if (!error.empty())
                return error;
            char* end = nullptr;
            const unsigned long budget = std::strtoul(value.c_str(), &end, 10);
            if (value.empty() || *end != '\0' || budget < 1 || budget > 100000)
                return "--budget takes a number of replays from 1 to 100000, not '" + value + "'";
            command.budget = budget;
        } else if (option_value(arg, "--host", argc, argv, i, value, error)) {
            if (!error.empty())
                return error;
            const size_t equals = value.find('=');
            if (equals == 0 || equals == std::string::npos || equals + 1 == value.size())
                return "--host takes NAME=FILE[,FILE...], not '" + value + "'";
            std::vector<std::string> files;
            for (size_t at = equals + 1; at <= value.size();) {
                const size_t comma = std::min(value.find(',', at), value.size());
                if (comma > at)
                    files.push_back(value.substr(at, comma - at));
                at = comma + 1;
            }
            command.hosts.emplace_back(value.substr(0, equals), std::move(files));
        } else {
            return "unknown option " + std::string(arg);
        }
    }
    if (command.help)
        return {};
    if (has_range && !command.suggest)
        return "a range LO..HI is for --suggest";
    if (!command.hosts.empty() && !command.suggest)
        return "--host names the hosts of a fleet for --suggest";
    if (!command.hosts.empty() && !command.recordings.empty())
        return "with --host, every recording belongs to a host";
    if (command.suggest && command.host_cpus > 0)
        return "--suggest searches recordings, not CSV samples";
    if (command.suggest && command.log)
        return "--suggest prints the settings found; --log replays one setting";
    if (command.recordings.empty() && command.hosts.empty())
        return "no recording given";
    if (command.log && command.json)
        return "--log and --json exclude each other";
    return {};
}
