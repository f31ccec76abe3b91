// A station's state as Prometheus metrics (the text exposition format), from the same totals
// that its table and its page show. Only reading here.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "line/line.h"

// Upper bounds of the programming time's histogram, in seconds: a unit programmed whole at
// the line's default rate takes about a minute and a half, much less at a raised rate.
constexpr double SECONDS_BUCKETS[] = {5, 10, 20, 30, 45, 60, 90, 120, 180, 300};

// What the metrics show beside the slots and totals.
struct metrics_facts {
    std::string station;
    int64_t addresses_left = -1;  // in the address file's range or the pool; -1: not known
    bool pool = false;            // the addresses come from the shared pool
    bool pool_connected = false;
    int journal_waiting = 0;      // results waiting for the pool's server
    double pool_last_contact = 0; // UTC seconds of the server's last answer to the lease; 0: none
    int deliveries_waiting = 0;   // hooks and labels running or waiting to run
};

// A slot as the metrics show it.
struct slot_metrics {
    std::string slot;          // the port's name
    std::string state;         // "waiting", "programming", "good" or "failed"
    bool quarantined = false;  // takes no units until its fixture is checked
};

// An ended unit into the totals that only the metrics show: its attempts and its time.
void count_unit_time(line_totals& totals, int attempts, double seconds);
// The metrics text, served as "text/plain; version=0.0.4".
std::string metrics_text(const std::vector<slot_metrics>& slots, const line_totals& totals, const metrics_facts& facts,
                         line_clock::time_point now);
constexpr char METRICS_CONTENT_TYPE[] = "text/plain; version=0.0.4; charset=utf-8";
