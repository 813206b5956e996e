#include "replay/input_kind.h"

#include <fstream>
#include <optional>
#include <string_view>

#include <sys/stat.h>

#include "replay/sample_csv.h"

namespace {

std::optional<InputKind> kind_of(const std::string& path)
{
    // Only a regular file is looked into: opening a named pipe or a device
    // could wait for ever. What else was named is told and left out later.
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode))
        return std::nullopt;
    std::ifstream in(path, std::ios::binary);
    char bytes[4096];
    in.read(bytes, sizeof bytes);
    std::string_view start(bytes, static_cast<size_t>(in.gcount()));
    if (start.empty())
        return std::nullopt;
    if (start.starts_with("\x1f\x8b"))
        return InputKind::recordings;  // gzip, as the daemon writes them
    if (start.starts_with("\xEF\xBB\xBF"))
        start.remove_prefix(3);
    return is_csv_header(start.substr(0, start.find('\n'))) ? InputKind::samples : InputKind::recordings;
}

}  // namespace

std::string input_kind(const std::vector<std::string>& files, int host_cpus, InputKind& kind)
{
    bool recordings = false;
    bool samples = false;
    for (const std::string& file : files) {
        const std::optional<InputKind> found = kind_of(file);
        recordings = recordings || found == InputKind::recordings;
        samples = samples || found == InputKind::samples;
    }
    if (recordings && samples)
        return "CSV samples and recordings cannot be replayed together";
    kind = samples || (!recordings && host_cpus > 0) ? InputKind::samples : InputKind::recordings;
    if (kind == InputKind::samples && host_cpus == 0)
        return "CSV samples need --host-cpus N, the host's CPU count";
    if (kind == InputKind::recordings && host_cpus > 0)
        return "--host-cpus is for CSV samples; a recording holds its host's CPU count";
    return {};
}
