#include "check_options.h"

#include <getopt.h>

#include <cerrno>
#include <cstdlib>
#include <limits>

#include "getopt_rewind.h"

namespace {

// The executable's name in the usage lines is fixed, whatever argv[0] says.
constexpr const char* program_name = "cpuslack";

// Like atoi, trailing text is ignored ("15x" is 15, "abc" is 0). A number
// the 32-bit field cannot hold also counts as 0 rather than being cut down
// to its low bits, so a typo such as 4294967316 cannot pass as 20.
std::int32_t to_int32(const char* text)
{
    errno = 0;
    const long value = std::strtol(text, nullptr, 10);
    if (errno == ERANGE || value < std::numeric_limits<std::int32_t>::min() ||
        value > std::numeric_limits<std::int32_t>::max())
        return 0;
    return static_cast<std::int32_t>(value);
}

const option long_options[] = {
    {"warning", required_argument, nullptr, 'w'},
    {"critical", required_argument, nullptr, 'c'},
    {"period", required_argument, nullptr, 'p'},
    {nullptr, 0, nullptr, 0},
};

}  // namespace

ParsedCommandLine parse_check_options(int argc, char* argv[])
{
    ParsedCommandLine parsed;
    rewind_getopt();
    int opt;
    while ((opt = getopt_long(argc, argv, "hw:c:p:", long_options, nullptr)) != -1) {
        switch (opt) {
        case 'h':
            // Acts at once: later options are not looked at.
            parsed.usage_requested = true;
            return parsed;
        case 'w': parsed.options.warning = to_int32(optarg); break;
        case 'c': parsed.options.critical = to_int32(optarg); break;
        case 'p': parsed.options.period = to_int32(optarg); break;
        default:
            // getopt_long has already said what was wrong; carry on.
            break;
        }
    }
    return parsed;
}

std::string validate_check_options(const CheckOptions& options)
{
    if (options.period <= 0)
        return "Wrong \"period\" parameter [1:]";
    if (options.warning < 1 || options.warning > 100)
        return "Wrong \"warning\" parameter [1:100]";
    if (options.critical < 1 || options.critical > 100)
        return "Wrong \"critical\" parameter [1:100]";
    if (options.warning <= options.critical)
        return "Incorrect parameter relation [\"warning\" > \"critical\"]";
    return {};
}

std::string usage_text()
{
    std::string text;
    text += "Usage: ";
    text += program_name;
    text += " -w warn -c crit [-p sec]\n";
    text += "       ";
    text += program_name;
    text += " --warning warn --critical crit [-period sec]\n";
    return text;
}
