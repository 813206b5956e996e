#include "gzip/gzip_deflate.h"

#include <stdexcept>

#include <zlib.h>

#include "gzip/gzip_window.h"

struct GzipDeflate::Stream {
    z_stream z{};
    bool open = false;  // a member is in progress
};

GzipDeflate::GzipDeflate(int level) : stream_(std::make_unique<Stream>())
{
    if (deflateInit2(&stream_->z, level, Z_DEFLATED, gzip_window_bits, 8, Z_DEFAULT_STRATEGY) != Z_OK)
        throw std::runtime_error("zlib: deflateInit2 failed");
}

GzipDeflate::~GzipDeflate() { deflateEnd(&stream_->z); }

size_t GzipDeflate::add(std::string_view text, std::string& out)
{
    stream_->open = true;
    stream_->z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(text.data()));
    stream_->z.avail_in = static_cast<uInt>(text.size());
    return run(Z_NO_FLUSH, out);
}

size_t GzipDeflate::sync(std::string& out) { return stream_->open ? run(Z_SYNC_FLUSH, out) : 0; }

size_t GzipDeflate::finish(std::string& out)
{
    if (!stream_->open)
        return 0;
    const size_t produced = run(Z_FINISH, out);
    drop();
    return produced;
}

void GzipDeflate::drop()
{
    deflateReset(&stream_->z);
    stream_->open = false;
}

size_t GzipDeflate::run(int flush, std::string& out)
{
    z_stream& z = stream_->z;
    char chunk[16384];
    size_t produced = 0;
    do {
        z.next_out = reinterpret_cast<Bytef*>(chunk);
        z.avail_out = sizeof chunk;
        deflate(&z, flush);
        const size_t made = sizeof chunk - z.avail_out;
        out.append(chunk, made);
        produced += made;
    } while (z.avail_out == 0 || z.avail_in > 0);
    return produced;
}
