// Bytes as read from the daemon's pipe, handed to its request handler. The
// VMs behind libvmmapi are scripted (the binding's stand-in library, found
// through LD_LIBRARY_PATH). Everything happens in a scratch directory: the
// target works there with a daemon pipe path "halvorn.cli.fifo" and offers
// its reply pipe "halvorn.cli.fifo.1"; it passes on
// no request whose reply path leads anywhere else. As it changes directory,
// give it corpus and artifact paths that are absolute.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <string>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <nlohmann/json.hpp>
#include <spdlog/sinks/null_sink.h>
#include <spdlog/spdlog.h>

#include "bindings/vmmapi.h"
#include "runtime/driver.h"
#include "runtime/request.h"

namespace fs = std::filesystem;

namespace {

struct Scratch {
    fs::path dir;
    int reply_fd = -1;
    Driver::Handler handle = [](const std::string& text) { handle_request("halvorn.cli.fifo", text); };

    Scratch()
    {
        char pattern[] = "/tmp/fuzz_request.XXXXXX";
        if (mkdtemp(pattern) == nullptr)
            std::abort();
        dir = fs::canonical(pattern);
        fs::current_path(dir);
        if (mkfifo("halvorn.cli.fifo.1", 0600) != 0)
            std::abort();
        reply_fd = ::open("halvorn.cli.fifo.1", O_RDONLY | O_NONBLOCK);
        if (reply_fd < 0 || !vmmapi_load_error().empty())
            std::abort();
        // Requests may change the level; whatever it is, nothing is printed.
        spdlog::set_default_logger(spdlog::null_logger_mt("fuzz"));
    }

    ~Scratch()
    {
        ::close(reply_fd);
        std::error_code ignored;
        fs::remove_all(dir, ignored);
    }

    // A reply path inside the scratch directory, or none at all.
    bool stays_inside(const std::string& text) const
    {
        try {
            const auto request = nlohmann::json::parse(text, nullptr, true, false);
            const std::string reply = member_text(request, "/fifo", "");
            if (reply.empty())
                return true;
            std::error_code ec;
            const fs::path target = fs::weakly_canonical(dir / reply, ec);
            if (ec)
                return false;
            const auto [end, ignored] = std::mismatch(dir.begin(), dir.end(), target.begin(), target.end());
            return end == dir.end() && target != dir;
        } catch (...) {
            return true;  // the handler will not parse it either
        }
    }

    void drain() const
    {
        char buffer[4096];
        while (::read(reply_fd, buffer, sizeof buffer) > 0) {
        }
    }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static Scratch scratch;
    // The driver never hands over more than this.
    if (size > Driver::max_request)
        return 0;
    const std::string text(reinterpret_cast<const char*>(data), size);
    if (!scratch.stays_inside(text))
        return 0;
    scratch.handle(text);
    scratch.drain();
    return 0;
}
