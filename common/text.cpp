#include "common/text.h"

#include <cctype>
#include <cstdio>
#include <cstdlib>

namespace {

constexpr char REPLACEMENT[] = "\xef\xbf\xbd";  // U+FFFD, for a byte that is not UTF-8

// The length of the well-formed UTF-8 sequence at `at` (2 to 4), or 0 when there is none.
size_t utf8_sequence(const std::string& text, size_t at)
{
    unsigned char lead = static_cast<unsigned char>(text[at]);
    size_t length = lead >= 0xf0 ? 4 : lead >= 0xe0 ? 3 : 2;
    unsigned char low = 0x80, high = 0xbf;  // the second byte's range: no overlong form, no surrogate
    if (lead < 0xc2 || lead > 0xf4)
        return 0;
    if (lead == 0xe0)
        low = 0xa0;
    else if (lead == 0xed)
        high = 0x9f;
    else if (lead == 0xf0)
        low = 0x90;
    else if (lead == 0xf4)
        high = 0x8f;
    if (at + length > text.size())
        return 0;
    for (size_t i = 1; i < length; i++) {
        unsigned char c = static_cast<unsigned char>(text[at + i]);
        if (c < (i == 1 ? low : 0x80) || c > (i == 1 ? high : 0xbf))
            return 0;
    }
    return length;
}

}  // namespace

std::string json_string(const std::string& text)
{
    std::string out = "\"";
    for (size_t at = 0; at < text.size(); at++) {
        unsigned char c = static_cast<unsigned char>(text[at]);
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c < 0x20) {
            char escape[8];
            snprintf(escape, sizeof escape, "\\u%04x", c);
            out += escape;
        } else if (c < 0x80) {
            out += static_cast<char>(c);
        } else if (size_t length = utf8_sequence(text, at)) {
            out.append(text, at, length);
            at += length - 1;
        } else {
            out += REPLACEMENT;
        }
    }
    return out + "\"";
}

std::string shown_text(const std::string& text)
{
    std::string out;
    for (size_t at = 0; at < text.size(); at++) {
        const unsigned char c = static_cast<unsigned char>(text[at]);
        const size_t length = c < 0x80 ? 1 : utf8_sequence(text, at);
        // U+0080 to U+009F, the C1 controls, are C2 80 to C2 9F.
        const bool control = c < 0x20 || c == 0x7f || length == 0 ||
                             (c == 0xc2 && static_cast<unsigned char>(text[at + 1]) < 0xa0);
        if (control) {
            char escape[8];
            snprintf(escape, sizeof escape, "\\x%02x", length == 2 ? static_cast<unsigned char>(text[at + 1]) : c);
            out += escape;
            at += length == 2 ? 1 : 0;
        } else {
            out.append(text, at, length);
            at += length - 1;
        }
    }
    return out;
}

bool is_plain_name(const std::string& text, size_t max)
{
    if (text.empty() || text.size() > max)
        return false;
    for (char c : text)
        if (!(c >= 'a' && c <= 'z') && !(c >= 'A' && c <= 'Z') && !(c >= '0' && c <= '9') && c != '.' && c != '_' &&
            c != '-')
            return false;
    return true;
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
