// The gang's room (gang/): the gang station, `pelmo4rix gang`: several units programmed at
// once, one worker process per unit (the front end's own flash command), every unit with its
// own address from the pool (pool/), every result in the production record, and what the line
// tells the factory through line/. Here: its options, the slots and the probes, the workers
// and their lines, the loop (run.h: its start, its loop, a unit's life on its slot), the table
// and the status it publishes.
//
// The gang itself only watches the ports, hands out addresses, reads its workers' JSON
// lines, keeps the table and writes the record; it never programs a unit.
#pragma once

#include <chrono>
#include <cstdint>
#include <deque>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "common/exit_codes.h"
#include "common/text.h"
#include "gang/slots.h"
#include "line/hooks.h"
#include "line/line.h"
#include "line/metrics.h"
#include "pool/pool.h"
#include "tools/address_file.h"
#include "tools/production_record.h"

struct os_worker;

using gang_clock = std::chrono::steady_clock;

struct gang_options {
    std::vector<std::string> ports;      // --ports NAME,...; empty: the system's list
    std::vector<std::string> labels;     // --labels LABEL,...: one per port of --ports, naming its slot
    bool all = false;                    // --all: also every numbered port that exists
    std::string address_file = ADDRESS_FILE;  // --address-file FILE
    std::string pool;                    // --pool URL (or PELMO4RIX_POOL): the shared pool instead
    std::string station;                 // --station NAME: in the pool's record; default the host name
    std::string journal = POOL_JOURNAL;  // --journal FILE: results waiting for the pool's server
    std::string record;                  // --record FILE; empty: production.csv beside the address file
    std::string image_file;              // --image FILE; empty: the built-in image
    std::vector<std::string> trust;      // --trust FILE: trusted keys for a package, passed to the workers
    bool allow_unsigned = false;         // --allow-unsigned: a raw image file may be used
    std::string min_version;             // --min-version V: no package older than V (the workers too)
    bool allow_downgrade = false;        // --allow-downgrade: an image older than the pool's newest good one
    int units = 0;                       // --units N: end after N units; 0: until 'q' or Ctrl+C
    int attempts = 3;                    // --attempts N: each worker's programming attempts
    int worker_timeout_s = 30;           // --worker-timeout S: a worker silent this long is ended
    int quarantine = 3;                  // --quarantine N: N failed units (or unitless workers) in a row rest a port; 0: never
    bool http = false;                   // --http [HOST:]PORT: serve the line's page
    std::string http_host = "127.0.0.1";
    int http_port = 0;                   // 0: any free port (the gang prints the one it got)
    std::vector<std::string> http_names; // --http-host NAME: names the page answers to
    bool only_changed = false;           // --only-changed: the workers write only the sectors that differ
    bool keep_known_address = false;     // --keep-known-address (on with --only-changed): re-work keeps the address
    unsigned baud = BAUD_LOWEST;         // --baud RATE (or PELMO4RIX_BAUD): the loader's line rate asked for
    bool baud_given = false;
    bool write_blank = false;            // --write-blank: the workers send blank image sectors too
    hook_options hooks;                  // --on-unit, --label, ...: other systems hear of each unit
    std::string replay_hooks;            // --replay-hooks FILE: send what the spool holds, then end
    bool help = false;
};

constexpr size_t SLOT_LABEL_MAX = 16;  // a slot's label fits the table's first column and a fixture's sticker

// Fills `options` from the arguments after `gang`; 0 with a one-line `error` on a usage error.
int parse_gang_options(int argc, char** argv, gang_options& options, std::string& error);
std::string gang_usage();

// `pelmo4rix gang ...`: argv[0] is "gang". Returns the exit code.
int gang_main(int argc, char** argv);

// --- one port and the unit on it ---
enum port_state {
    PORT_EMPTY,    // no unit answers
    PORT_BUSY,     // a worker programs the unit
    PORT_DONE,     // the unit was programmed (or failed); waits for it to go
};

struct port_row {
    std::string name;
    std::string label;  // the slot's name on the table, the page and the record: --labels, or the port's name
    port_state state = PORT_EMPTY;
    bool present = true;  // still in the system's list (or given with --ports)
    gang_clock::time_point next_probe{};

    // The unit of the last or current worker.
    os_worker* worker = nullptr;
    uint8_t address[6] = {};
    int64_t reservation = 0;  // with the shared pool
    std::string phase;        // "start", "boot", "erase", "write", "verify", then "good" or "failed"
    int percent = 0;          // of the whole programming
    int attempts = 0;
    bool info_sector_sent = false;  // the unit may hold its address
    gang_clock::time_point started{}, last_heard{}, ended{};
    std::string pending;      // worker output short of a line end
    bool result_seen = false, result_ok = false;
    int exit_code = 0;        // the worker's, or the gang's reason
    std::string error;        // why it failed

    int failed_in_row = 0;    // units on this port that failed one after the other
    int not_started_in_row = 0;  // workers on this port in a row that found no unit the look had found
    bool quarantined = false; // rests until the operator presses 'r': check the fixture
    // With --only-changed, from the worker's result: sectors written and skipped (-1: not
    // reported), and the seconds saved against the whole plan.
    int written = -1, skipped = -1;
    double seconds_saved = 0;
    // The rate the port's last unit ran at (0: none yet); the next unit on it is asked for it
    // first, so a slot whose adapter steps down does not pay for the step down again.
    unsigned baud = 0;
    std::string delivery;  // what failed of the unit's hook or label: "hook failed", "label not printed", ...
    bool already = false;  // the unit last programmed good came back intact: "good (already)", nothing written
    bool kept = false;     // the unit is programmed with the address it held (--keep-known-address)
    slot_memory slot;      // what the slot keeps from unit to unit: its last good address, its fault
};

// The label of a slot without --labels, the next after `rows`: its port's name where that is a
// plain name short enough (COM7, ttyUSB0), else S and its place in port order (a by-path or
// by-id name: S1, S2, ...); the next S number free where that label is taken already.
std::string default_slot_label(const std::string& port, const std::vector<port_row>& rows);

// Takes one line of a worker's output into its row; true when the phase changed or an
// attempt began (an event worth a line).
bool take_worker_line(port_row& row, const std::string& line);

// --- probes beside the loop ---
// A probe of a port with no unit takes over a second; a thread of its own runs them, one at
// a time, so that the table, the page and the workers are served meanwhile. While it runs,
// the probe thread alone uses the device layer (the port and its process-wide values).
struct prober;
prober* prober_start();
// Starts a look at `port` (look_at_slot, with `read_unit` and the slot's `memory`); false
// while the last look has not been answered yet.
bool prober_ask(prober* p, const std::string& port, bool read_unit, const slot_memory& memory);
// The answer to the look asked, once it has come: true with the port and what was found.
bool prober_answer(prober* p, std::string& port, slot_look& look);
void prober_stop(prober* p);  // waits for a probe under way

// --- what the table and the page show, from the same rows and totals ---
// "waiting", "programming", "good", "failed" or "quarantined".
std::string port_state_word(const port_row& row);
// Why units failed with `code`, in the words of the guides' table of codes.
std::string cause_text(int code);
// Percent of the ended units that were good; negative while none has ended.
double yield_percent(const line_totals& totals);
// The slots and the pool's facts as the metrics show them (the station's name and the
// deliveries waiting are the caller's to add).
std::vector<slot_metrics> metrics_slots(const std::vector<port_row>& rows);
metrics_facts pool_metrics_facts(const address_pool& pool);
// The gang's state as one JSON object: ports, totals, causes, the last records.
std::string status_json(const std::vector<port_row>& rows, const line_totals& totals, const std::string& notice,
                        gang_clock::time_point now);

// --- drawing, apart from the logic ---
// The table: a heading, a line per port, the totals, and the gang's `notice` when it has one.
std::vector<std::string> table_lines(const std::vector<port_row>& rows, const line_totals& totals,
                                     const std::string& notice, gang_clock::time_point now);
// Redraws the table over the one drawn before (`drawn` lines of it).
void draw_table(const std::vector<std::string>& lines, int& drawn);
// One event line: UTC time, port, and `what`.
void print_event(const std::string& port, const std::string& what);
std::string utc_stamp();  // now, as the record's time column has it
// What a unit programmed with only the changed sectors had written: "written 1, skipped 253,
// 15.8 s saved".
std::string changes_text(const port_row& row);
