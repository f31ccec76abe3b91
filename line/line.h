// The line's room (line/): what a station tells the factory. The page server and its page
// (page.h), the Prometheus text of /metrics (metrics.h), the hook per unit and the labels with
// their spool, and the unit's facts as its hook reads them (hooks.h). The CSV production
// record stays in tools/, which the single station uses too.
//
// The gang and `pelmo4rix flash` call it; it knows nothing of either: what it shows of a
// station's state comes in the small types below, which the caller fills. Arrows point down
// only: line/ uses common/, image/, tools/ and link/, never gang/, cli/ or pool/.
#pragma once

#include <chrono>
#include <cstddef>
#include <deque>
#include <map>
#include <string>
#include <utility>
#include <vector>

using line_clock = std::chrono::steady_clock;

// One ended unit as its record line has it, for the page.
struct unit_record {
    std::string time, port, slot, address;
    bool good;
    int error_code, attempts;
    double seconds;
};
constexpr size_t RECENT_RECORDS = 50;

// What a station counts of its units since it started, for its table, its page and its metrics.
struct line_totals {
    int good = 0, failed = 0, started = 0;
    line_clock::time_point start;
    std::map<int, int> causes;         // failed units by error_code
    std::deque<unit_record> recent;    // the last RECENT_RECORDS units, newest first
    int attempts = 0;                  // of every ended unit
    double seconds = 0;                // programming time of every ended unit
    std::vector<int> seconds_in_bucket;  // ended units per bucket of the metrics' histogram
    std::map<std::pair<std::string, std::string>, int> deliveries;  // hooks and labels by kind and result
};

// Good units per hour since the station started.
double units_per_hour(const line_totals& totals, line_clock::time_point now);
