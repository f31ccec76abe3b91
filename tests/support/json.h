// JSON in the tests: what the programs print with --json and --events, and the page's status,
// read with nlohmann-json.
#pragma once

#include <string>

#include <nlohmann/json.hpp>

using nlohmann::json;

// `text` read as JSON; a discarded value (is_discarded()) when it is not JSON.
inline json parse_json(const std::string& text) { return json::parse(text, nullptr, false); }
