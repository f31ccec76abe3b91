// The gang's run as its parts share it: the start (gang.cpp), the loop and its timers
// (loop.cpp), and a unit's life on its slot (unit.cpp). Only for gang/.
#pragma once

#include <chrono>
#include <cstdint>
#include <set>
#include <string>
#include <vector>

#include "gang/gang.h"

struct page_server;

constexpr auto PROBE_INTERVAL = std::chrono::milliseconds(250);  // per port without a worker
constexpr int WAIT_MS = 20;  // longest wait for worker output in one turn

struct gang_run {
    gang_options options;
    address_pool pool;
    std::string record;
    std::vector<port_row> rows;
    line_totals totals;
    bool live = false;  // the table is redrawn in place
    int drawn = 0;
    bool keys = false;  // standard input is a terminal to read 'q' from
    std::string notice;  // the gang's last word, under the table
    std::string waiting;  // what the pool's server said while the gang waits for it
    bool stopping = false;
    bool aborting = false;
    gang_clock::time_point abort_deadline{}, next_list{}, next_draw{};
    int exit_code = EXIT_OK;
    prober* probes = nullptr;
    std::string probing;  // the port being probed; empty when none
    page_server* page = nullptr;
    std::string page_url;
    hook_runner* hooks = nullptr;  // each unit's hook and label
    std::string station;           // this station's name, for the hooks, labels and metrics
    long descriptors = -1;         // the limit of open descriptors in force; -1: none
    std::set<int64_t> good_in_run;  // addresses of the units good in this run
};

// An event of the unit on `row`: a line of its own when no table is drawn.
void event(const gang_run& g, const port_row& row, const std::string& what);
// What the gang itself has to say: the line under the table and on the page, and a line of
// its own when no table is drawn.
void notice(gang_run& g, const std::string& what);

// --- a unit's life on its slot (unit.cpp) ---
// A unit that answered the look at `row`: its address (kept or new, with the pool's server
// waited for) and its worker started; or the gang stops taking units when none is left.
void start_unit(gang_run& g, port_row& row, const slot_look& look, gang_clock::time_point now);
// The unit the slot last programmed good is back with the image intact: shown good again,
// with no new address, no write and no second record.
void unit_back(gang_run& g, port_row& row, gang_clock::time_point now);
// Reads each worker's lines, ends what has ended, and ends a worker silent for too long;
// each unit that ended is recorded and settled.
void serve_workers(gang_run& g);
// What the gang says once when it waits for the pool's server, and again when that changes.
void waiting_for_pool(gang_run& g, const std::string& why);

// --- the start (gang.cpp) and the loop (loop.cpp) ---
// Lock, address file, image and record, before any unit; the exit code of a failure.
int prepare(gang_run& g);
// The loop until the last unit, then what waits for the pool and the hooks; the exit code.
int gang_loop(gang_run& g);
