// Small text helpers that the rooms above the tools share (common/: these, the exit codes in
// exit_codes.h, the operating system's processes and sockets in os.h).
#pragma once

#include <string>

// A text as a JSON string, quoted, with quotes, backslashes and control characters escaped,
// and each byte that is not part of valid UTF-8 replaced by U+FFFD.
std::string json_string(const std::string& text);
// A text as a terminal, a log or a metric label may show it: control characters (C0, DEL and
// C1) and each byte that is not part of valid UTF-8 written as \xHH, the rest as it stands.
std::string shown_text(const std::string& text);
// Station names and slot labels: 1 to PLAIN_NAME_MAX letters, digits and "._-", so that no
// terminal, metric, spreadsheet, file name or command line that shows them is broken by them.
constexpr size_t PLAIN_NAME_MAX = 64;
constexpr char PLAIN_NAME_RULE[] = "letters, digits and ._-";
bool is_plain_name(const std::string& text, size_t max = PLAIN_NAME_MAX);
// A whole number of 1 to 7 digits from `low` to `high` into `out`; false otherwise.
bool parse_count(const std::string& text, int low, int high, int& out);
// `n` and the word that goes with it: "1 step", "30 steps", "1 address".
std::string count_of(long long n, const std::string& one, const std::string& many);
constexpr int MAX_ATTEMPTS = 20;  // --attempts: as many as the update tool makes in one cycle

// --baud RATE of flash and gang: the rate the loader is asked for. Below the loader's usual
// 1,000,000 nothing is gained; the fastest USB serial adapters stop at 12,000,000.
constexpr unsigned BAUD_LOWEST = 1000000, BAUD_HIGHEST = 12000000;
constexpr char BAUD_VARIABLE[] = "PELMO4RIX_BAUD";  // the rate when no --baud is given
// A rate of BAUD_LOWEST to BAUD_HIGHEST in plain digits into `baud`; false with `error` else.
bool parse_baud(const std::string& text, unsigned& baud, std::string& error);
// The rate of BAUD_VARIABLE into `baud` when no option gave one (`given`, set when it does);
// false with `error` when the variable holds no rate.
bool take_baud_variable(bool& given, unsigned& baud, std::string& error);
