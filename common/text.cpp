#include "common/text.h"

#include <cctype>
#include <cstdio>
#include <cstdlib>

std::string json_string(const std::string& text)
{
    std::string out = "\"";
    for (unsigned char c : text) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c < 0x20) {
            char escape[8];
            snprintf(escape, sizeof escape, "\\u%04x", c);
            out += escape;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out + "\"";
}

bool parse_count(const std::string& text, int low, int high, int& out)
{
    if (text.empty() || text.size() > 7)
        return false;
    for (char c : text)
        if (!isdigit(static_cast<unsigned char>(c)))
            return false;
    out = atoi(text.c_str());
    return out >= low && out <= high;
}

std::string count_of(long long n, const std::string& one, const std::string& many)
{
    return std::to_string(n) + " " + (n == 1 ? one : many);
}

bool parse_baud(const std::string& text, unsigned& baud, std::string& error)
{
    bool digits = !text.empty() && text.size() <= 8;
    for (char c : text)
        digits = digits && isdigit(static_cast<unsigned char>(c));
    baud = digits ? static_cast<unsigned>(strtoul(text.c_str(), nullptr, 10)) : 0;
    if (baud >= BAUD_LOWEST && baud <= BAUD_HIGHEST)
        return true;
    error = "bad rate for --baud: " + text + " (" + std::to_string(BAUD_LOWEST) + " to " + std::to_string(BAUD_HIGHEST) +
            " baud)";
    return false;
}

bool take_baud_variable(bool& given, unsigned& baud, std::string& error)
{
    const char* text = getenv(BAUD_VARIABLE);
    if (given || !text || !*text)
        return true;
    given = true;
    if (parse_baud(text, baud, error))
        return true;
    error += " in " + std::string(BAUD_VARIABLE);
    return false;
}
