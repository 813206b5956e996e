#include "runtime/request.h"

#include <exception>

#include <spdlog/spdlog.h>

#include "runtime/commands.h"
#include "runtime/driver.h"
#include "runtime/fifo.h"
#include "runtime/reply_path.h"
#include "startup/identity.h"

std::string member_text(const nlohmann::json& request, const std::string& pointer,
                        const std::string& fallback)
{
    const nlohmann::json::json_pointer where(pointer);
    if (!request.contains(where))
        return fallback;
    const nlohmann::json& value = request.at(where);
    switch (value.type()) {
    case nlohmann::json::value_t::string: return value.get<std::string>();
    case nlohmann::json::value_t::number_unsigned: return std::to_string(value.get<uint64_t>());
    case nlohmann::json::value_t::number_integer: return std::to_string(value.get<int64_t>());
    case nlohmann::json::value_t::number_float: return std::to_string(value.get<double>());
    default: return fallback;
    }
}

namespace {

// Refused reply paths are shown up to this length: the path comes from the
// requester and could otherwise fill the log.
constexpr std::size_t shown_path_limit = 200;

void reply_to(const std::string& daemon_path, const std::string& command, const std::string& reply_path,
              const std::string& reply)
{
    // An empty path is not a refusal: there is nothing to reply to.
    if (!reply_path.empty() && !is_reply_path(daemon_path, reply_path)) {
        spdlog::info("[CLI] Reply pipe refused: '{}'", printable(reply_path, shown_path_limit));
        return;
    }
    // Fifo refuses anything but a named pipe, so a request can never make
    // the daemon write into a regular file or a device.
    Fifo fifo(FifoMode::Write, reply_path);
    if (fifo.is_open())
        fifo.write(reply);
    else
        spdlog::info("[CLI] ({}) Fifo open error: {}", command, fifo.error_text());
    fifo.close();
}

}  // namespace

void handle_request(const std::string& daemon_path, const std::string& text)
{
    try {
        const auto request = nlohmann::json::parse(text, nullptr, true, false);
        const std::string command = member_text(request, "/cmd", "");
        const std::string argument = member_text(request, "/arg", "");
        const std::string reply_path = member_text(request, "/fifo", "");

        std::string reply = "Success: " + command;
        if (command == "track")
            track(argument);
        else if (command == "loglevel") {
            const std::string name = argument.empty() ? "info" : argument;
            if (!loglevel(name))
                reply = "Unknown log level: " + name;
        } else
            reply = "Unknown command: " + command;

        reply_to(daemon_path, command, reply_path, reply);
    } catch (const std::exception& error) {
        spdlog::info("[CLI] Command exception: {}", error.what());
    } catch (...) {
        spdlog::info("[CLI] command unknown exception");
    }
}

Driver::Handler Driver::exec()
{
    return [](const std::string& text) { handle_request(fifo_path(program_name(), false), text); };
}
