#include "gzip/gzip_inflate.h"

#include <algorithm>
#include <stdexcept>

#include <zlib.h>

#include "gzip/gzip_window.h"

struct GzipInflate::Stream {
    z_stream z{};
};

GzipInflate::GzipInflate() : stream_(std::make_unique<Stream>())
{
    if (inflateInit2(&stream_->z, gzip_window_bits) != Z_OK)
        throw std::runtime_error("zlib: inflateInit2 failed");
}

GzipInflate::~GzipInflate() { inflateEnd(&stream_->z); }

GzipInflate::Step GzipInflate::inflate(std::string_view input, char* out, size_t out_size)
{
    z_stream& z = stream_->z;
    z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(input.data()));
    z.avail_in = static_cast<uInt>(std::min<size_t>(input.size(), 1u << 30));
    z.next_out = reinterpret_cast<Bytef*>(out);
    z.avail_out = static_cast<uInt>(std::min<size_t>(out_size, 1u << 30));
    const uInt offered_in = z.avail_in;
    const uInt offered_out = z.avail_out;
    const int result = ::inflate(&z, Z_NO_FLUSH);
    Step step{Status::more, offered_in - z.avail_in, offered_out - z.avail_out};
    if (result == Z_STREAM_END)
        step.status = Status::member_end;
    else if (result == Z_BUF_ERROR || (result == Z_OK && step.used == 0 && step.produced == 0))
        step.status = Status::cut_short;
    else if (result != Z_OK)
        step.status = Status::damaged;
    return step;
}

void GzipInflate::reset() { inflateReset(&stream_->z); }
