#pragma once

#include <memory>
#include <string>
#include <string_view>

// Compresses text into gzip members in memory, appending the compressed
// bytes to a string the caller writes where it likes.
class GzipDeflate {
public:
    // Level 1 is the fastest; noisy counters hardly compress better higher up.
    explicit GzipDeflate(int level = 1);
    ~GzipDeflate();
    GzipDeflate(const GzipDeflate&) = delete;
    GzipDeflate& operator=(const GzipDeflate&) = delete;

    // Each returns the number of bytes it appended to `out`.
    // Compresses `text` into the member in progress, starting one if needed.
    size_t add(std::string_view text, std::string& out);
    // Makes everything added so far decodable (a sync flush); the member
    // stays open.
    size_t sync(std::string& out);
    // Ends the member in progress; the next add() starts another.
    size_t finish(std::string& out);
    // Forgets the member in progress without ending it.
    void drop();

private:
    size_t run(int flush, std::string& out);

    struct Stream;
    std::unique_ptr<Stream> stream_;
};
