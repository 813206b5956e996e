#include "demand_list.h"

#include <cerrno>
#include <cstdlib>

namespace vmmsim {

bool parse_int(const std::string& text, int min, int max, int& value)
{
    if (text.empty() || text.size() > 12)
        return false;
    const char* begin = text.c_str();
    if (*begin == ' ' || *begin == '\t')
        return false;
    char* end = nullptr;
    errno = 0;
    long parsed = std::strtol(begin, &end, 10);
    if (*end != '\0' || errno == ERANGE || parsed < min || parsed > max)
        return false;
    value = static_cast<int>(parsed);
    return true;
}

std::vector<int> parse_demand_list(const std::string& text, int vcpus, std::string& error)
{
    std::vector<int> values;
    std::size_t start = 0;
    for (;;) {
        std::size_t comma = text.find(',', start);
        std::string item = text.substr(start, comma == std::string::npos ? comma : comma - start);
        int value = 0;
        if (!parse_int(item, 0, 100, value)) {
            error = "demand \"" + item + "\" is not a percentage 0..100";
            return {};
        }
        values.push_back(value);
        if (comma == std::string::npos)
            break;
        start = comma + 1;
    }
    if (values.size() == 1)
        return std::vector<int>(static_cast<std::size_t>(vcpus), values[0]);
    if (values.size() != static_cast<std::size_t>(vcpus)) {
        error = "demand lists " + std::to_string(values.size()) + " values for " + std::to_string(vcpus) +
                " vCPUs";
        return {};
    }
    return values;
}

std::string format_demand_list(const std::vector<int>& demand)
{
    std::string text;
    for (std::size_t i = 0; i < demand.size(); ++i) {
        if (i)
            text += ',';
        text += std::to_string(demand[i]);
    }
    // The same value everywhere reads better as one number.
    bool uniform = !demand.empty();
    for (int value : demand)
        uniform = uniform && value == demand[0];
    return uniform ? std::to_string(demand[0]) : text;
}

}  // namespace vmmsim
