// A station's metrics in Prometheus' text exposition format: a "# HELP" and a "# TYPE" line per
// metric, then its samples. Labels hold only values with few possibilities (results, error
// codes, slots), never an address.
#include "line/metrics.h"

#include <cstdio>

#include "common/text.h"
#include "image/image.h"
#include "tools/production_record.h"

namespace {

const char* const SLOT_STATES[] = {"waiting", "programming", "good", "failed"};
const char* const DELIVERY_KINDS[] = {"hook", "label"};
const char* const DELIVERY_RESULTS[] = {"delivered", "failed", "timed_out"};

// A label value as valid UTF-8 without a control character (a scraper refuses the whole text
// for one byte that is not UTF-8), each shown as \xHH, then with backslashes and quotes escaped.
std::string label_value(const std::string& text)
{
    std::string out;
    for (char c : shown_text(text))
        out += c == '\\' ? "\\\\" : c == '"' ? "\\\"" : std::string(1, c);
    return out;
}

std::string number(double value)
{
    char text[32];
    snprintf(text, sizeof text, "%.15g", value);
    return text;
}

// The metrics text, metric by metric; every sample carries the station's label.
struct exposition {
    std::string station;
    std::string text;

    void family(const std::string& name, const std::string& type, const std::string& help)
    {
        text += "# HELP " + name + " " + help + "\n# TYPE " + name + " " + type + "\n";
    }
    // `labels` as name="value" pairs already escaped, or empty.
    void sample(const std::string& name, const std::string& labels, double value)
    {
        text += name + "{station=\"" + label_value(station) + "\"" + (labels.empty() ? "" : "," + labels) + "} " +
                number(value) + "\n";
    }
};

std::string label(const std::string& name, const std::string& value)
{
    return name + "=\"" + label_value(value) + "\"";
}

void unit_metrics(exposition& out, const line_totals& totals, line_clock::time_point now)
{
    out.family("pelmo4rix_units_total", "counter", "Units that ended, by result.");
    out.sample("pelmo4rix_units_total", label("result", "good"), totals.good);
    out.sample("pelmo4rix_units_total", label("result", "failed"), totals.failed);
    out.family("pelmo4rix_unit_failures_total", "counter", "Failed units by error code.");
    for (const auto& [code, count] : totals.causes)
        out.sample("pelmo4rix_unit_failures_total", label("error_code", std::to_string(code)), count);
    out.family("pelmo4rix_units_in_progress", "gauge", "Units being programmed now.");
    out.sample("pelmo4rix_units_in_progress", "", totals.started - totals.good - totals.failed);
    out.family("pelmo4rix_attempts_total", "counter", "Programming attempts of the units that ended.");
    out.sample("pelmo4rix_attempts_total", "", totals.attempts);
    out.family("pelmo4rix_units_per_hour", "gauge", "Good units per hour since the gang started.");
    out.sample("pelmo4rix_units_per_hour", "", units_per_hour(totals, now));

    const std::string name = "pelmo4rix_programming_seconds";
    out.family(name, "histogram", "Time from a unit's start to its result.");
    int cumulative = 0;
    for (size_t i = 0; i < sizeof SECONDS_BUCKETS / sizeof SECONDS_BUCKETS[0]; i++) {
        cumulative += i < totals.seconds_in_bucket.size() ? totals.seconds_in_bucket[i] : 0;
        out.sample(name + "_bucket", label("le", number(SECONDS_BUCKETS[i])), cumulative);
    }
    int ended = totals.good + totals.failed;
    out.sample(name + "_bucket", label("le", "+Inf"), ended);
    out.sample(name + "_sum", "", totals.seconds);
    out.sample(name + "_count", "", ended);
}

void each_slot_metrics(exposition& out, const std::vector<slot_metrics>& slots)
{
    out.family("pelmo4rix_slot_state", "gauge", "1 for the state each slot is in.");
    for (const slot_metrics& slot : slots)
        for (const char* s : SLOT_STATES)
            out.sample("pelmo4rix_slot_state", label("slot", slot.slot) + "," + label("state", s), slot.state == s);
    out.family("pelmo4rix_slot_quarantined", "gauge", "1 while a slot takes no units until its fixture is checked.");
    for (const slot_metrics& slot : slots)
        out.sample("pelmo4rix_slot_quarantined", label("slot", slot.slot), slot.quarantined);
}

void supply_metrics(exposition& out, const line_totals& totals, const metrics_facts& facts)
{
    if (facts.addresses_left >= 0) {
        out.family("pelmo4rix_addresses_left", "gauge", "Addresses not handed out yet in the range.");
        out.sample("pelmo4rix_addresses_left", "", static_cast<double>(facts.addresses_left));
    }
    if (facts.pool) {
        out.family("pelmo4rix_pool_server_up", "gauge", "1 while the pool's server is connected.");
        out.sample("pelmo4rix_pool_server_up", "", facts.pool_connected);
        out.family("pelmo4rix_journal_waiting_results", "gauge", "Results in the journal waiting for the pool's server.");
        out.sample("pelmo4rix_journal_waiting_results", "", facts.journal_waiting);
        if (facts.pool_last_contact > 0) {
            out.family("pelmo4rix_pool_last_contact_timestamp_seconds", "gauge",
                       "When the pool's server last renewed this station's lease (Unix time).");
            out.sample("pelmo4rix_pool_last_contact_timestamp_seconds", "", facts.pool_last_contact);
        }
    }
    out.family("pelmo4rix_deliveries_total", "counter", "Hooks and labels that ended, by kind and result.");
    for (const char* kind : DELIVERY_KINDS)
        for (const char* result : DELIVERY_RESULTS) {
            auto found = totals.deliveries.find({kind, result});
            out.sample("pelmo4rix_deliveries_total", label("kind", kind) + "," + label("result", result),
                       found == totals.deliveries.end() ? 0 : found->second);
        }
    out.family("pelmo4rix_deliveries_waiting", "gauge", "Hooks and labels running or waiting to run.");
    out.sample("pelmo4rix_deliveries_waiting", "", facts.deliveries_waiting);
}

}  // namespace

double units_per_hour(const line_totals& totals, line_clock::time_point now)
{
    double hours = std::chrono::duration<double>(now - totals.start).count() / 3600;
    return hours > 0 ? totals.good / hours : 0;
}

void count_unit_time(line_totals& totals, int attempts, double seconds)
{
    const size_t buckets = sizeof SECONDS_BUCKETS / sizeof SECONDS_BUCKETS[0];
    totals.attempts += attempts;
    totals.seconds += seconds;
    totals.seconds_in_bucket.resize(buckets);
    for (size_t i = 0; i < buckets; i++)
        if (seconds <= SECONDS_BUCKETS[i]) {
            totals.seconds_in_bucket[i]++;
            break;
        }
}

std::string metrics_text(const std::vector<slot_metrics>& slots, const line_totals& totals, const metrics_facts& facts,
                         line_clock::time_point now)
{
    exposition out{facts.station, ""};
    out.family("pelmo4rix_build_info", "gauge", "The program's version and the image it programs.");
    out.sample("pelmo4rix_build_info",
               label("version", tool_version) + "," + label("image_version", image_version) + "," +
                   label("image_checksum", checksum_text()),
               1);
    unit_metrics(out, totals, now);
    each_slot_metrics(out, slots);
    supply_metrics(out, totals, facts);
    return out.text;
}
