// Bytes as cpuslack's argument vector (split at NUL bytes), read twice in one
// process as the plugin may be: both readings agree, and accepted options
// lie inside the documented ranges.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "check_options.h"

namespace {

bool same(const ParsedCommandLine& a, const ParsedCommandLine& b)
{
    return a.usage_requested == b.usage_requested && a.options.warning == b.options.warning &&
           a.options.critical == b.options.critical && a.options.period == b.options.period;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    std::vector<std::string> words{"cpuslack"};
    std::string word;
    for (size_t i = 0; i < size; ++i) {
        if (data[i] == '\0') {
            words.push_back(word);
            word.clear();
        } else {
            word.push_back(static_cast<char>(data[i]));
        }
    }
    if (size > 0)
        words.push_back(word);

    // getopt may permute the vector, so each reading gets a fresh copy.
    auto read_options = [&words] {
        std::vector<std::string> copy = words;
        std::vector<char*> argv;
        for (std::string& w : copy)
            argv.push_back(w.data());
        argv.push_back(nullptr);
        return parse_check_options(static_cast<int>(copy.size()), argv.data());
    };
    const ParsedCommandLine first = read_options();
    const ParsedCommandLine second = read_options();
    if (!same(first, second))
        std::abort();
    if (!first.usage_requested && validate_check_options(first.options).empty()) {
        const CheckOptions& o = first.options;
        if (o.period < 1 || o.critical < 1 || o.warning > 100 || o.warning <= o.critical)
            std::abort();
    }
    return 0;
}
