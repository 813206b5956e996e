#pragma once

#include <string>

#include <nlohmann/json.hpp>

#include "runtime/driver.h"

// The text of one request member: a string as it is, an integer in decimal, a
// floating-point number with six decimals; `fallback` for anything else or
// when the member is missing (always so when the request is not an object).
std::string member_text(const nlohmann::json& request, const std::string& pointer,
                        const std::string& fallback);

// The daemon's request handler (Driver::exec) for a daemon pipe at
// `daemon_path`: runs the command and replies only into that pipe's reply
// pipes; `status` answers the `status` command (none: an unknown command).
// Never throws.
void handle_request(const std::string& daemon_path, const std::string& text,
                    const Driver::StatusSource& status = {});
