#include "recording/gzip_appender.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "io/write_all.h"

GzipAppender::~GzipAppender() { close(); }

bool GzipAppender::open(const std::string& path)
{
    close();
    // Non-blocking: a FIFO without a reader would hold the daemon in open();
    // a link could send root's appends into any file.
    const int fd =
        ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NONBLOCK | O_NOFOLLOW, 0640);
    if (fd < 0) {
        error_ = std::strerror(errno);
        return false;
    }
    struct stat st {};
    const bool status = ::fstat(fd, &st) == 0;
    if (!status || !S_ISREG(st.st_mode)) {
        error_ = status ? "not a regular file" : std::strerror(errno);
        ::close(fd);
        return false;
    }
    fd_ = fd;
    written_ = st.st_size;
    members_end_ = st.st_size;
    pending_.clear();
    member_pending_ = 0;
    return true;
}

void GzipAppender::close()
{
    if (fd_ < 0)
        return;
    deflate_.finish(pending_);
    member_pending_ = 0;  // the member is whole in pending_
    (void)flush();
    ::close(fd_);
    fd_ = -1;
    pending_.clear();
}

void GzipAppender::begin_member()
{
    deflate_.finish(pending_);
    member_pending_ = 0;
}

void GzipAppender::add(std::string_view text) { member_pending_ += deflate_.add(text, pending_); }

bool GzipAppender::flush()
{
    if (fd_ < 0)
        return false;
    member_pending_ += deflate_.sync(pending_);
    int error = 0;
    const size_t done = write_all(fd_, pending_, error);
    const bool ok = done == pending_.size();
    if (!ok)
        error_ = std::strerror(error);
    written_ += static_cast<off_t>(done);
    // What is written of the pending bytes beyond those of the open member
    // completes members.
    const size_t whole = pending_.size() - std::min(member_pending_, pending_.size());
    if (done >= whole)
        members_end_ = written_ - static_cast<off_t>(done - whole);
    pending_.erase(0, done);
    member_pending_ = std::min(member_pending_, pending_.size());
    return ok;
}

void GzipAppender::abandon()
{
    if (fd_ < 0)
        return;
    struct stat st {};
    if (::fstat(fd_, &st) == 0 && st.st_size == written_ && members_end_ < written_)
        (void)::ftruncate(fd_, members_end_);
    ::close(fd_);
    fd_ = -1;
    pending_.clear();
    member_pending_ = 0;
    deflate_.drop();
}

bool GzipAppender::replaced(const std::string& path) const
{
    if (fd_ < 0)
        return false;
    struct stat open_file {};
    struct stat named {};
    if (::fstat(fd_, &open_file) != 0)
        return false;
    return ::stat(path.c_str(), &named) != 0 || named.st_dev != open_file.st_dev ||
           named.st_ino != open_file.st_ino;
}
