#pragma once

#include <string>

#include <nlohmann/json.hpp>

// The `status` reply as `halvorn status` shows it to people: a line for the
// host, then a table of the VMs. Members that are missing or of another type
// show as "-".
std::string status_table(const nlohmann::json& status);
