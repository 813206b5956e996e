#pragma once

#include <string>

#include <nlohmann/json.hpp>

class ControllerView;

// The `status` reply: the controller's view as one JSON object.
nlohmann::json status_json(const ControllerView& view);

// status_json as one compact line; text that is not UTF-8 (a VM name) is
// replaced rather than failing the reply.
std::string status_reply(const ControllerView& view);
