#pragma once

#include <string>

#include <nlohmann/json.hpp>

// The text of one request member: a string as it is, an integer in decimal, a
// floating-point number with six decimals; `fallback` for anything else or
// when the member is missing (always so when the request is not an object).
std::string member_text(const nlohmann::json& request, const std::string& pointer,
                        const std::string& fallback);
