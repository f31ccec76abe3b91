// What a hook and a label are told of a unit: its facts as JSON, as variables and in a
// label's placeholders (see hooks.h).
#include "line/hooks.h"

#include <algorithm>
#include <cctype>
#include <cstdio>

#include "common/text.h"
#include "image/image.h"
#include "tools/production_record.h"

namespace {

const char* const PLACEHOLDERS[] = {"address", "address_compact", "port", "station", "time", "image_version"};

// The name of the placeholder that starts at text[at] ('{'), and where it ends; false when
// the brace starts none.
bool placeholder_at(const std::string& text, size_t at, std::string& name, size_t& end)
{
    end = text.find('}', at);
    if (end == std::string::npos)
        return false;
    name = text.substr(at + 1, end - at - 1);
    for (char c : name)
        if (!(islower(static_cast<unsigned char>(c)) || c == '_'))
            return false;
    return !name.empty();
}

std::string placeholder_value(const std::string& name, const unit_facts& f)
{
    if (name == "address")
        return f.address;
    if (name == "address_compact") {
        std::string compact;
        for (char c : f.address)
            if (c != ':')
                compact += c;
        return compact;
    }
    if (name == "port")
        return f.port;
    if (name == "station")
        return f.station;
    if (name == "time")
        return f.time;
    return f.image_version;
}

}  // namespace

unit_facts unit_facts_of(const production_entry& entry, const std::string& station, int64_t reservation)
{
    unit_facts f;
    f.result = entry.good ? "good" : "failed";
    f.time = entry.time.empty() ? utc_now() : entry.time;
    f.port = entry.port;
    f.address = address_of(entry.address);
    f.station = station;
    f.image_version = image_version;
    f.image_checksum = checksum_text();
    f.error_code = entry.error_code;
    f.attempts = entry.attempts;
    f.seconds = entry.seconds;
    f.reservation = reservation;
    f.downgraded_from = image_downgraded_from;
    return f;
}

std::string unit_json(const unit_facts& f)
{
    char seconds[32];
    snprintf(seconds, sizeof seconds, "%.1f", f.seconds);
    return "{\"time\":" + json_string(f.time) + ",\"port\":" + json_string(f.port) +
           ",\"address\":" + json_string(f.address) + ",\"image_version\":" + json_string(f.image_version) +
           ",\"image_checksum\":" + json_string(f.image_checksum) + ",\"result\":" + json_string(f.result) +
           ",\"error_code\":" + std::to_string(f.error_code) + ",\"attempts\":" + std::to_string(f.attempts) +
           ",\"seconds\":" + seconds + ",\"station\":" + json_string(f.station) +
           ",\"reservation\":" + (f.reservation ? std::to_string(f.reservation) : "null") +
           (f.downgraded_from.empty() ? "" : ",\"downgraded_from\":" + json_string(f.downgraded_from)) + "}";
}

std::vector<std::string> unit_environment(const unit_facts& f)
{
    char seconds[32];
    snprintf(seconds, sizeof seconds, "%.1f", f.seconds);
    const std::string p = "PELMO4RIX_";
    return {p + "RESULT=" + f.result,
            p + "ADDRESS=" + f.address,
            p + "PORT=" + f.port,
            p + "STATION=" + f.station,
            p + "ERROR_CODE=" + std::to_string(f.error_code),
            p + "ATTEMPTS=" + std::to_string(f.attempts),
            p + "SECONDS=" + seconds,
            p + "IMAGE_VERSION=" + f.image_version,
            p + "IMAGE_CHECKSUM=" + f.image_checksum,
            p + "TIME=" + f.time,
            p + "RESERVATION=" + (f.reservation ? std::to_string(f.reservation) : "")};
}

int check_label_template(const std::string& text, std::string& error)
{
    for (size_t at = 0; at < text.size(); at++) {
        if (text.compare(at, 2, "{{") == 0 || text.compare(at, 2, "}}") == 0) {
            at++;
            continue;
        }
        if (text[at] != '{')
            continue;
        std::string name;
        size_t end;
        bool known = false;
        if (placeholder_at(text, at, name, end))
            for (const char* p : PLACEHOLDERS)
                known = known || name == p;
        if (!known) {
            std::string shown = text.substr(at, std::min<size_t>(text.find('}', at) - at + 1, 40));
            error = "unknown placeholder " + shown + " (use {address}, {address_compact}, {port}, {station}, {time} "
                    "or {image_version}; {{ and }} for braces)";
            return 0;
        }
        at = end;
    }
    return 1;
}

std::string render_label(const std::string& text, const unit_facts& facts)
{
    std::string out;
    for (size_t at = 0; at < text.size(); at++) {
        std::string name;
        size_t end;
        if (text.compare(at, 2, "{{") == 0 || text.compare(at, 2, "}}") == 0) {
            out += text[at++];
        } else if (text[at] == '{' && placeholder_at(text, at, name, end)) {
            out += placeholder_value(name, facts);
            at = end;
        } else {
            out += text[at];
        }
    }
    return out;
}

std::string delivery_trouble(const delivery_report& rep)
{
    if (rep.result == "delivered")
        return "";
    if (rep.kind == "label")
        return "label not printed";
    return rep.result == "timed_out" ? "hook timed out" : "hook failed";
}
