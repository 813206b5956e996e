#include "replay/input_files.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <optional>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include "recording/record_reader.h"

namespace {

constexpr size_t start_bytes = 1 << 16;

struct InputFile {
    std::string path;
    dev_t device = 0;
    ino_t inode = 0;
    std::string start;  // the first bytes, up to 64 KiB, to tell what it holds
};

const char* kind_of(mode_t mode)
{
    if (S_ISDIR(mode))
        return "a directory";
    if (S_ISFIFO(mode))
        return "a named pipe";
    if (S_ISCHR(mode) || S_ISBLK(mode))
        return "a device";
    if (S_ISSOCK(mode))
        return "a socket";
    return "of another kind";
}

std::string skipped(const std::string& path, const std::string& why)
{
    return path + ": " + why + "; skipped";
}

std::string not_regular(mode_t mode) { return std::string("not a regular file (") + kind_of(mode) + ")"; }

std::string cannot_read() { return std::string("cannot be read: ") + std::strerror(errno); }

// The file's first bytes; false, with errno, when they cannot be read.
bool read_start(int fd, std::string& start)
{
    start.resize(start_bytes);
    size_t used = 0;
    while (used < start.size()) {
        const ssize_t count = ::read(fd, start.data() + used, start.size() - used);
        if (count < 0 && errno == EINTR)
            continue;
        if (count < 0)
            return false;
        if (count == 0)
            break;
        used += static_cast<size_t>(count);
    }
    start.resize(used);
    return true;
}

// The file at `path` when it is a regular file that can be read, else why not.
std::optional<InputFile> open_file(const std::string& path, std::string& why)
{
    // Looked at before it is opened: opening a named pipe would wait for a
    // writer, and opening a device may do something to it.
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) {
        why = cannot_read();
        return std::nullopt;
    }
    if (!S_ISREG(st.st_mode)) {
        why = not_regular(st.st_mode);
        return std::nullopt;
    }
    // Non-blocking, should it have been swapped for a pipe since.
    const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    if (fd < 0) {
        why = cannot_read();
        return std::nullopt;
    }
    InputFile file;
    file.path = path;
    if (::fstat(fd, &st) != 0)
        why = cannot_read();
    else if (!S_ISREG(st.st_mode))
        why = not_regular(st.st_mode);
    else if (!read_start(fd, file.start))
        why = cannot_read();
    ::close(fd);
    if (!why.empty())
        return std::nullopt;
    file.device = st.st_dev;
    file.inode = st.st_ino;
    return file;
}

std::optional<InputFile> readable_file(const std::string& path, const InputNotice& notice)
{
    std::string why;
    std::optional<InputFile> file = open_file(path, why);
    if (!file)
        notice(skipped(path, why));
    return file;
}

}  // namespace

std::vector<std::string> recordings_to_replay(const std::vector<std::string>& paths,
                                              const InputNotice& notice)
{
    struct Named {
        InputFile file;
        FirstHeader header;
    };
    std::vector<Named> recordings;
    for (const std::string& path : paths) {
        std::optional<InputFile> file = readable_file(path, notice);
        if (!file)
            continue;
        std::optional<FirstHeader> header = first_header(file->start);
        if (!header) {
            notice(skipped(path, file->start.empty() ? "empty"
                                                     : "not a recording (it starts with no header of one)"));
            continue;
        }
        // Read twice, a recording would count its ticks and moves twice. A
        // copy, or the text of a gzip file, starts with the same header: a
        // daemon's start and every reopening write one with their own time.
        const auto same = std::find_if(recordings.begin(), recordings.end(), [&](const Named& seen) {
            return (seen.file.device == file->device && seen.file.inode == file->inode) ||
                   seen.header.line == header->line;
        });
        if (same != recordings.end()) {
            const std::string& used = same->file.path;
            notice(path + ": " +
                   (used == path ? std::string("named more than once")
                    : same->file.inode == file->inode && same->file.device == file->device
                        ? "the same file as " + used
                        : "the same recording as " + used + " (the same first record)") +
                   "; used once");
            continue;
        }
        recordings.push_back({std::move(*file), std::move(*header)});
    }
    // Rotated files may be named in any order.
    std::stable_sort(recordings.begin(), recordings.end(),
                     [](const Named& a, const Named& b) { return a.header.wall_ns < b.header.wall_ns; });
    std::vector<std::string> ordered;
    for (const Named& recording : recordings)
        ordered.push_back(recording.file.path);
    return ordered;
}
