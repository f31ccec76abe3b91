// The gang's state in words and as JSON: what the terminal table and the line's page show.
// Only reading here; the rows and totals are kept by the gang's loop.
#include <cstdio>

#include "common/text.h"
#include "gang/gang.h"
#include "link/state.h"

namespace {

constexpr int KILLED = EXIT_SIGNAL_BASE + 9;    // SIGKILL: the gang ended a silent worker
constexpr int STOPPED = EXIT_SIGNAL_BASE + 15;  // SIGTERM: stopped
constexpr int64_t LAP_COUNT = 0x1000000;         // LAPs in an address file's range (24 bits)

std::string number(double value)
{
    char text[32];
    snprintf(text, sizeof text, "%.1f", value);
    return text;
}

double unit_seconds(const port_row& row, gang_clock::time_point now)
{
    return std::chrono::duration<double>((row.state == PORT_BUSY ? now : row.ended) - row.started).count();
}

std::string port_json(const port_row& row, gang_clock::time_point now)
{
    bool had_unit = !row.phase.empty();
    bool failed = had_unit && row.state != PORT_BUSY && row.phase == "failed";
    std::string out = "{\"port\":" + json_string(row.name) + ",\"label\":" + json_string(row.label) + ",\"state\":\"" + port_state_word(row) + "\"";
    out += ",\"present\":" + std::string(row.present ? "true" : "false");
    out += ",\"address\":" + (had_unit ? json_string(address_of(row.address)) : "null");
    out += ",\"phase\":" + json_string(row.state == PORT_BUSY ? row.phase : "");
    out += ",\"percent\":" + std::to_string(row.percent) + ",\"attempt\":" + std::to_string(row.attempts);
    out += ",\"seconds\":" + (had_unit ? number(unit_seconds(row, now)) : "null");
    out += ",\"unit_gone\":" + std::string(had_unit && row.state == PORT_EMPTY ? "true" : "false");
    out += ",\"error_code\":" + std::to_string(failed ? row.exit_code : 0);
    out += ",\"error\":" + json_string(failed ? cause_text(row.exit_code) : "");
    out += ",\"failed_in_row\":" + std::to_string(row.failed_in_row);
    out += ",\"baud\":" + (row.baud ? std::to_string(row.baud) : "null");  // the rate the port's last unit ran at
    out += ",\"delivery\":" + json_string(row.delivery);
    out += ",\"already\":" + std::string(row.already && row.state == PORT_DONE ? "true" : "false");
    // A unit reprogrammed with the address it already held, rather than a new one.
    out += ",\"kept\":" + std::string(row.kept && row.state == PORT_DONE && row.phase == "good" ? "true" : "false");
    out += ",\"fault\":" + json_string(row.slot.fault) + "}";  // why the port can't be opened now
    return out;
}

// "waiting", "programming", "good" or "failed", whether the port rests or not.
std::string unit_state_word(const port_row& row)
{
    if (row.state == PORT_BUSY)
        return "programming";
    if (row.state == PORT_DONE)
        return row.phase == "good" ? "good" : "failed";
    return "waiting";
}

std::string record_json(const unit_record& r)
{
    return "{\"time\":" + json_string(r.time) + ",\"port\":" + json_string(r.port) + ",\"label\":" + json_string(r.slot) +
           ",\"address\":" + json_string(r.address) + ",\"result\":\"" + (r.good ? "good" : "failed") +
           "\",\"error_code\":" + std::to_string(r.error_code) + ",\"error\":" +
           json_string(r.good ? "" : cause_text(r.error_code)) + ",\"attempts\":" + std::to_string(r.attempts) +
           ",\"seconds\":" + number(r.seconds) + "}";
}

}  // namespace

std::string port_state_word(const port_row& row)
{
    return row.quarantined ? "quarantined" : unit_state_word(row);
}

std::string cause_text(int code)
{
    switch (code) {
    case 1: return "the port could not be opened";
    case 2: return "the port could not be set up";
    case 3: return "the port could not be given its event mask";
    case 4: return "a frame could not be written";
    case 6: return "the unit stopped answering";
    case 7: return "boot mode entry: no probe reply";
    case 8: return "boot mode entry: no handshake";
    case 9: return "boot mode entry: speed change refused";
    case 10: return "boot mode entry: port speed";
    case 11: case 12: case 13: return "programming: unlock";
    case 14: return "programming: erase";
    case 15: case 18: return "programming: a sector";
    case 16: return "programming: the information sector";
    case 19: return "programming: no checksum reply";
    case 20: return "the unit's checksum differs from the image's";
    case EXIT_NO_UNIT: return "no unit found";
    case EXIT_NO_RESULT: return "the worker ended without a result";
    case KILLED: return "the worker was silent too long";
    case STOPPED: return "stopped";
    default:
        return code > EXIT_SIGNAL_BASE ? "the worker was ended by signal " + std::to_string(code - EXIT_SIGNAL_BASE)
                                       : "failed";
    }
}

double yield_percent(const line_totals& totals)
{
    int ended = totals.good + totals.failed;
    return ended ? 100.0 * totals.good / ended : -1;
}

std::string status_json(const std::vector<port_row>& rows, const line_totals& totals, const std::string& notice,
                        gang_clock::time_point now)
{
    std::string out = "{\"time\":" + json_string(utc_stamp()) + ",\"ports\":[";
    for (size_t i = 0; i < rows.size(); i++)
        out += (i ? "," : "") + port_json(rows[i], now);
    double yield = yield_percent(totals);
    out += "],\"totals\":{\"good\":" + std::to_string(totals.good) + ",\"failed\":" + std::to_string(totals.failed) +
           ",\"in_progress\":" + std::to_string(totals.started - totals.good - totals.failed) +
           ",\"units_per_hour\":" + number(units_per_hour(totals, now)) +
           ",\"yield\":" + (yield < 0 ? "null" : number(yield)) + "},\"causes\":[";
    bool first = true;
    for (const auto& [code, count] : totals.causes) {
        out += (first ? "" : ",") + std::string("{\"error_code\":") + std::to_string(code) +
               ",\"count\":" + std::to_string(count) + ",\"text\":" + json_string(cause_text(code)) + "}";
        first = false;
    }
    out += "],\"records\":[";
    for (size_t i = 0; i < totals.recent.size(); i++)
        out += (i ? "," : "") + record_json(totals.recent[i]);
    return out + "],\"notice\":" + json_string(notice) + "}";
}

std::vector<slot_metrics> metrics_slots(const std::vector<port_row>& rows)
{
    std::vector<slot_metrics> slots;
    for (const port_row& row : rows)
        slots.push_back({row.name, unit_state_word(row), row.quarantined});
    return slots;
}

metrics_facts pool_metrics_facts(const address_pool& pool)
{
    metrics_facts facts;
    facts.pool = !pool.url.empty();
    facts.addresses_left = facts.pool ? pool.left : LAP_COUNT - lap_counter;
    facts.pool_connected = pool.store != nullptr;
    facts.journal_waiting = pool.journal_waiting;
    facts.pool_last_contact = pool.last_contact;
    return facts;
}
