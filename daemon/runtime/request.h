#pragma once

#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "runtime/driver.h"

// The text of one request member: a string as it is, an integer in decimal, a
// floating-point number with six decimals; `fallback` for anything else or
// when the member is missing (always so when the request is not an object).
std::string member_text(const nlohmann::json& request, const std::string& pointer,
                        const std::string& fallback);

// The requests in one drained text. Requesters that write at the same moment
// reach the pipe before one drain: a text that is a sequence of two or more
// complete JSON objects (blanks between them) is that many requests, in
// order. Any other text is one request, handled as it is.
std::vector<std::string> split_requests(const std::string& text);

// The daemon's request handler (Driver::exec) for a daemon pipe at
// `daemon_path`: runs each request of `text` (split_requests) and replies
// only into that pipe's reply pipes; `status` answers the `status` command
// (none: an unknown command). Never throws.
void handle_request(const std::string& daemon_path, const std::string& text,
                    const Driver::StatusSource& status = {});
