// Small text helpers that the front end and the gang share.
#pragma once

#include <string>

// A text as a JSON string, quoted, with quotes, backslashes and control characters escaped,
// and each byte that is not part of valid UTF-8 replaced by U+FFFD.
std::string json_string(const std::string& text);
// A whole number of 1 to 7 digits from `low` to `high` into `out`; false otherwise.
bool parse_count(const std::string& text, int low, int high, int& out);
constexpr int MAX_ATTEMPTS = 20;  // --attempts: as many as the update tool makes in one cycle
