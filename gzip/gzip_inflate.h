#pragma once

#include <cstddef>
#include <memory>
#include <string_view>

// Inflates concatenated gzip members, one call at a time, into a buffer the
// caller hands in.
class GzipInflate {
public:
    enum class Status {
        more,        // went on; call again with the rest
        member_end,  // a member ended; the next call starts the next one
        cut_short,   // the input ends inside a member
        damaged,     // the data is no gzip member; reset() before going on
    };
    struct Step {
        Status status;
        size_t used;      // input bytes consumed
        size_t produced;  // bytes written to the output buffer
    };

    GzipInflate();
    ~GzipInflate();
    GzipInflate(const GzipInflate&) = delete;
    GzipInflate& operator=(const GzipInflate&) = delete;

    Step inflate(std::string_view input, char* out, size_t out_size);
    // Starts afresh, for the next member.
    void reset();

private:
    struct Stream;
    std::unique_ptr<Stream> stream_;
};
