// Small text helpers that the front end and the gang share.
#pragma once

#include <string>

// A text as a JSON string, quoted, with quotes, backslashes and control characters escaped.
std::string json_string(const std::string& text);
// A whole number of 1 to 7 digits from `low` to `high` into `out`; false otherwise.
bool parse_count(const std::string& text, int low, int high, int& out);
// `n` and the word that goes with it: "1 step", "30 steps", "1 address".
std::string count_of(long long n, const std::string& one, const std::string& many);
constexpr int MAX_ATTEMPTS = 20;  // --attempts: as many as the update tool makes in one cycle
