#include "runtime/request.h"

#include <exception>
#include <stdexcept>
#include <string>
#include <utility>

#include <spdlog/spdlog.h>

#include "startup/log_text.h"
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

// A request is one flat object; this leaves room for members that hold a
// little structure, while deep nesting is refused before a tree is built.
constexpr int deepest_nesting = 8;

nlohmann::json parse_request(const std::string& text)
{
    const auto refuse_deep_nesting = [](int depth, nlohmann::json::parse_event_t event, nlohmann::json&) {
        // `depth` counts the containers around the one that starts.
        const bool starts = event == nlohmann::json::parse_event_t::object_start ||
                            event == nlohmann::json::parse_event_t::array_start;
        if (starts && depth >= deepest_nesting)
            throw std::runtime_error("request nested deeper than " + std::to_string(deepest_nesting) +
                                     " levels");
        return true;
    };
    return nlohmann::json::parse(text, refuse_deep_nesting, true, false);
}

// Refused reply paths are shown up to this length: the path comes from the
// requester and could otherwise fill the log.
constexpr std::size_t shown_path_limit = 200;

void reply_to(const std::string& daemon_path, const std::string& command, const std::string& reply_path,
              const std::string& reply)
{
    // An empty path is not a refusal: there is nothing to reply to.
    if (!reply_path.empty() && !is_reply_path(daemon_path, reply_path)) {
        spdlog::info("[CLI] Reply pipe refused: '{}'", escaped_for_log(reply_path, shown_path_limit));
        return;
    }
    // Fifo refuses anything but a named pipe, so a request can never make
    // the daemon write into a regular file or a device.
    Fifo fifo(FifoMode::Write, reply_path);
    if (fifo.is_open()) {
        // A reply can be far longer than the pipe holds: a client that
        // does not read must not stall the daemon.
        const size_t written = fifo.write_within(reply, Driver::reply_budget);
        if (written < reply.size())
            spdlog::info("[CLI] Reply to '{}' cut short after {} of {} bytes", command, written,
                         reply.size());
    } else
        spdlog::info("[CLI] ({}) Fifo open error: {}", command, fifo.error_text());
    fifo.close();
}

// The end of the JSON object that starts at `at` (one past its closing
// brace), or npos when the text ends first.
size_t object_end(const std::string& text, size_t at)
{
    int depth = 0;
    bool in_string = false;
    for (size_t i = at; i < text.size(); ++i) {
        const char c = text[i];
        if (in_string) {
            if (c == '\\')
                ++i;  // the escaped character cannot end the string
            else if (c == '"')
                in_string = false;
        } else if (c == '"') {
            in_string = true;
        } else if (c == '{' || c == '[') {
            ++depth;
        } else if ((c == '}' || c == ']') && --depth == 0) {
            return i + 1;
        }
    }
    return std::string::npos;
}

void handle_one(const std::string& daemon_path, const std::string& text, const Driver::StatusSource& status)
{
    try {
        const auto request = parse_request(text);
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
        } else if (command == "status" && status)
            reply = status() + "\n";  // the client reads up to the newline
        else
            reply = "Unknown command: " + command;

        reply_to(daemon_path, command, reply_path, reply);
    } catch (const std::exception& error) {
        spdlog::info("[CLI] Command exception: {}", error.what());
    } catch (...) {
        spdlog::info("[CLI] command unknown exception");
    }
}

}  // namespace

std::vector<std::string> split_requests(const std::string& text)
{
    constexpr const char* blanks = " \t\r\n";
    std::vector<std::string> requests;
    for (size_t at = text.find_first_not_of(blanks); at != std::string::npos;
         at = text.find_first_not_of(blanks, at)) {
        const size_t end = text[at] == '{' ? object_end(text, at) : std::string::npos;
        if (end == std::string::npos)
            return {text};  // not a sequence of objects: one request
        requests.push_back(text.substr(at, end - at));
        at = end;
    }
    if (requests.size() < 2)
        return {text};
    return requests;
}

void handle_request(const std::string& daemon_path, const std::string& text,
                    const Driver::StatusSource& status)
{
    for (const std::string& request : split_requests(text))
        handle_one(daemon_path, request, status);
}

Driver::Handler Driver::exec(StatusSource status)
{
    return [status = std::move(status)](const std::string& text) {
        handle_request(fifo_path(program_name(), false), text, status);
    };
}
