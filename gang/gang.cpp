// The gang's loop: watch the ports, start a worker for each unit that answers, follow the
// workers, record every unit, and show it all.
#include "gang/gang.h"

#include <csignal>
#include <cstdio>
#include <cstring>

#include "common/exit_codes.h"
#include "common/text.h"
#include "gang/os.h"
#include "line/page.h"
#include "image/image.h"
#include "image/package.h"
#include "link/console_print.h"
#include "link/discovery.h"
#include "link/os_port.h"
#include "link/port.h"
#include "link/state.h"
#include "tools/address_file.h"
#include "tools/console.h"
#include "tools/file_os.h"
#include "tools/production_record.h"

namespace {

using std::chrono::milliseconds;
using std::chrono::seconds;

constexpr int EXIT_STOPPED = EXIT_SIGNAL_BASE + SIGINT;  // a second Ctrl+C

constexpr auto PROBE_INTERVAL = milliseconds(250);  // per port without a worker
constexpr auto LIST_INTERVAL = seconds(2);          // the system's port list read again
constexpr auto REDRAW_INTERVAL = milliseconds(200);
constexpr auto ABORT_GRACE = seconds(5);            // stopped workers that linger are killed
constexpr int WAIT_MS = 20;                         // longest wait for worker output in one turn

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

void event(const gang_run& g, const port_row& row, const std::string& what)
{
    if (!g.live)
        print_event(row.label, what);
}

// What the gang itself has to say: the line under the table and on the page, and a line of
// its own when no table is drawn.
void notice(gang_run& g, const std::string& what)
{
    g.notice = what;
    if (!g.live)
        print_event("gang", what);
}

bool busy(const gang_run& g)
{
    for (const port_row& row : g.rows)
        if (row.state == PORT_BUSY)
            return true;
    return false;
}

bool taking_units(const gang_run& g)
{
    return !g.stopping && (g.options.units == 0 || g.totals.started < g.options.units);
}

// Straight through the platform layer: the device layer's port belongs to the probe thread.
bool port_opens(const std::string& port)
{
    os_port* opened = os_port_open(port.c_str());
    os_port_close(opened);
    return opened != nullptr;
}

// The ports to watch now: the system's list, and with --all the numbered ports that exist.
// False when the list can't be read (out of descriptors, say): that is no news of the ports.
bool watched_ports(const gang_run& g, std::vector<std::string>& names)
{
    int count = 0;
    std::vector<std::string> listed;
    if (os_list_ports(listed, count) != OS_LIST_OK)
        return false;
    for (const std::string& name : listed)
        if (!name.empty() && name.size() <= PORT_NAME_MAX)
            names.push_back(name);
    if (g.options.all)
        for (int n = SCAN_FIRST; n <= SCAN_LAST; n++) {
            std::string name = "COM" + std::to_string(n);
            bool watched = false;
            for (const port_row& row : g.rows)
                watched = watched || (row.name == name && row.state != PORT_EMPTY);
            watched = watched || name == g.probing;  // held by the probe, so it can't be opened
            if (watched || port_opens(name))
                names.push_back(name);
        }
    return true;
}

void refresh_ports(gang_run& g, gang_clock::time_point now)
{
    if (!g.options.ports.empty() || now < g.next_list)
        return;
    g.next_list = now + LIST_INTERVAL;
    std::vector<std::string> names;
    if (!watched_ports(g, names))
        return;
    for (port_row& row : g.rows)
        row.present = false;
    for (const std::string& name : names) {
        port_row* found = nullptr;
        for (port_row& row : g.rows)
            if (row.name == name)
                found = &row;
        if (!found) {
            g.rows.push_back(port_row{});
            found = &g.rows.back();
            found->name = found->label = name;
        }
        found->present = true;
    }
}

std::vector<std::string> worker_command(const gang_run& g, const port_row& row)
{
    std::vector<std::string> argv = {os_program_path(), "--port", row.name, "--events", "--quiet", "flash",
                                     "--address", address_of(row.address), "--attempts",
                                     std::to_string(g.options.attempts)};
    if (!g.options.image_file.empty()) {
        argv.push_back("--image");
        argv.push_back(g.options.image_file);
        for (const std::string& file : g.options.trust) {
            argv.push_back("--trust");
            argv.push_back(file);
        }
        if (g.options.allow_unsigned)
            argv.push_back("--allow-unsigned");
    }
    if (g.options.only_changed)
        argv.push_back("--only-changed");
    if (g.options.write_blank)
        argv.push_back("--write-blank");
    if (g.options.baud_given)
        argv.insert(argv.end(), {"--baud", std::to_string(row.baud ? row.baud : g.options.baud)});
    return argv;
}

// The address of a unit that ended: given back (`reuse`) or kept out of use, with the pool
// together with the unit's record. 0 when the pool's record could not be stored anywhere.
int settle(gang_run& g, const port_row& row, production_entry entry, bool reuse)
{
    memcpy(entry.address, row.address, sizeof entry.address);
    if (g.pool.url.empty()) {
        if (reuse && !row.kept)  // a kept address stays with its unit
            give_back(g.pool, row.address);
        return 1;
    }
    std::string message;
    pool_outcome outcome = entry.good ? POOL_GOOD : reuse ? POOL_GIVE_BACK : POOL_IN_DOUBT;
    int ok = settle_in_pool(g.pool, entry, row.reservation, outcome, message);
    if (!message.empty())
        notice(g, row.name + " " + address_of(row.address) + ": " + message);
    return ok;
}

// What the gang says once when it waits for the pool's server, and again when that changes.
void waiting_for_pool(gang_run& g, const std::string& why)
{
    if (why != g.waiting)
        notice(g, "waiting for the pool server: " + why);
    g.waiting = why;
}

// The port's row for its next unit: nothing of its last unit stays but what the port keeps
// (its run of failures, its rate, what the slot remembers).
port_row next_unit_row(const port_row& row)
{
    port_row fresh;
    fresh.name = row.name;
    fresh.label = row.label;
    fresh.failed_in_row = row.failed_in_row;
    fresh.not_started_in_row = row.not_started_in_row;
    fresh.baud = row.baud;
    fresh.slot = row.slot;
    return fresh;
}

// Why the address `look` found can't stay on the unit on `row`; empty when it stays (with
// the pool, `reservation` then names the unit's record).
std::string why_not_kept(gang_run& g, const port_row& row, const slot_look& look, int64_t& reservation)
{
    const int64_t number = address_number(look.stored);
    for (const port_row& other : g.rows)
        if (&other != &row && other.state != PORT_EMPTY && address_number(other.address) == number)
            return "it is on the unit on " + other.label;
    const bool slot_own = row.slot.has_good && address_number(row.slot.last_good) == number;
    if (g.good_in_run.count(number) && !slot_own)
        return "already good on another unit in this run";
    std::string why;
    keep_address(g.pool, g.record, look.stored, reservation, why);
    return why;
}

// The address for the unit on `row`: the one it holds when it may keep it, else a new one
// (the event says why it was not kept). 0 as take_address.
int address_for_unit(gang_run& g, port_row& row, const slot_look& look, bool& kept, take_failure& why,
                     std::string& message)
{
    kept = false;
    if (!g.options.keep_known_address || !look.read || !look.holds_address)
        return take_address(g.pool, row.address, row.reservation, why, message);
    const std::string refusal = why_not_kept(g, row, look, row.reservation);
    if (refusal.empty()) {
        memcpy(row.address, look.stored, sizeof row.address);
        kept = true;
        return 1;
    }
    if (!g.pool.url.empty() && !g.pool.store) {  // the server away: it decides when it answers
        why = TAKE_WAIT;
        message = refusal;
        return 0;
    }
    if (!take_address(g.pool, row.address, row.reservation, why, message))
        return 0;
    event(g, row, address_of(look.stored) + " not kept: " + refusal + "; new address " + address_of(row.address));
    return 1;
}

void start_unit(gang_run& g, port_row& row, const slot_look& look, gang_clock::time_point now)
{
    take_failure why;
    std::string message;
    bool kept = false;
    if (!address_for_unit(g, row, look, kept, why, message)) {
        if (why == TAKE_WAIT) {
            if (!message.empty())  // empty: too early to try the server again
                waiting_for_pool(g, message);
            return;
        }
        notice(g, row.name + ": " + message + ": no more units");
        g.stopping = true;
        g.exit_code = why == TAKE_FILE_UNSAVED ? EXIT_ADDRESS_FILE
                      : why == TAKE_USED_UP    ? EXIT_POOL_USED_UP
                                               : EXIT_POOL_SERVER;
        return;
    }
    if (!g.waiting.empty())
        notice(g, "the pool server " + g.pool.server + " answers again");
    g.waiting.clear();
    if (g.pool.left >= 0 && g.pool.left < POOL_LOW)
        notice(g, "only " + count_of(g.pool.left, "address", "addresses") + " left in the pool");
    os_worker* worker = os_worker_start(worker_command(g, row));
    if (!worker) {
        notice(g, row.name + ": a worker can't be started");
        row.kept = kept;
        settle(g, row, {row.name, {}, false, EXIT_NO_RESULT, 0, 0}, true);
        return;
    }
    port_row fresh = next_unit_row(row);
    memcpy(fresh.address, row.address, sizeof fresh.address);
    fresh.reservation = row.reservation;
    fresh.kept = kept;
    fresh.state = PORT_BUSY;
    fresh.worker = worker;
    fresh.phase = "start";
    fresh.started = fresh.last_heard = now;
    row = fresh;
    g.totals.started++;
    event(g, row, address_of(row.address) + " start, worker " + std::to_string(os_worker_id(worker)) +
                      (kept ? ", address kept" : ""));
}

// The ended unit in the totals, the causes, the recent records and the port's run of failures.
void note_result(gang_run& g, port_row& row, const production_entry& entry)
{
    g.totals.recent.push_front({utc_stamp(), row.name, row.label, address_of(row.address), entry.good, entry.error_code,
                                entry.attempts, entry.seconds});
    if (g.totals.recent.size() > RECENT_RECORDS)
        g.totals.recent.pop_back();
    count_unit_time(g.totals, entry.attempts, entry.seconds);
    if (entry.good) {
        row.failed_in_row = 0;
        return;
    }
    g.totals.causes[entry.error_code]++;
    row.failed_in_row++;
    if (g.options.quarantine > 0 && row.failed_in_row >= g.options.quarantine)
        row.quarantined = true;
}

// What the operator can do about a quarantined slot.
std::string quarantine_hint(const gang_run& g)
{
    return g.keys ? " (r: use it again)" : " (no more units on it in this run)";
}

// A worker that found no unit on its port before any attempt (the port was held a moment,
// the unit left): no unit was started, so no record; its address goes back and the slot is
// looked at again. A unit that answers the look but never its worker would start workers
// without end: after as many in a row as --quarantine allows, the slot is quarantined.
bool start_failed(gang_run& g, port_row& row, int status)
{
    if (status != EXIT_NO_UNIT || row.attempts > 0 || row.info_sector_sent)
        return false;
    row.state = PORT_EMPTY;
    row.phase.clear();
    g.totals.started--;
    event(g, row, address_of(row.address) + " not started: the worker found no unit, address given back");
    settle(g, row, {row.name, {}, false, EXIT_NO_UNIT, 0, 0}, true);
    row.not_started_in_row++;
    if (g.options.quarantine > 0 && row.not_started_in_row == g.options.quarantine) {
        row.quarantined = true;
        event(g, row, "quarantined after " + std::to_string(row.not_started_in_row) +
                          " workers in a row found no unit: check the fixture" + quarantine_hint(g));
    }
    return true;
}

// The unit's end: the record first, then what the gang shows.
void finish_unit(gang_run& g, port_row& row, int status, const std::string& reason, gang_clock::time_point now)
{
    row.worker = nullptr;
    row.ended = now;
    row.next_probe = now + PROBE_INTERVAL;
    if (start_failed(g, row, status))
        return;
    row.not_started_in_row = 0;
    row.state = PORT_DONE;
    bool good = row.result_seen && row.result_ok && status == 0;
    if (!good && (!row.result_seen || row.exit_code == 0))
        row.exit_code = status ? status : EXIT_NO_RESULT;
    if (!good && row.error.empty())
        row.error = reason.empty() ? "the worker ended with " + std::to_string(status) : reason;
    row.phase = good ? "good" : "failed";

    production_entry entry = {row.name, {}, good, good ? 0 : row.exit_code, row.attempts,
                              std::chrono::duration<double>(now - row.started).count()};
    memcpy(entry.address, row.address, sizeof entry.address);
    entry.written = good ? row.written : -1;
    entry.skipped = good ? row.skipped : -1;
    entry.seconds_saved = row.seconds_saved;
    entry.baud_column = g.options.baud_given;
    entry.baud = good ? row.baud : 0;
    entry.slot = row.label;
    entry.slot_column = !g.options.labels.empty();
    entry.time = utc_now();  // one time for the record, the pool and the hook alike
    entry.kept = good && row.kept;
    bool recorded = g.record.empty() || append_record(g.record, entry);
    note_result(g, row, entry);
    std::string what = address_of(row.address) + (good ? (row.kept ? " good, kept" : " good") : " failed");
    if (!good)
        what += " error_code " + std::to_string(row.exit_code) + ": " + row.error;
    what += ", attempts " + std::to_string(row.attempts);
    if (good && row.written >= 0)
        what += ", " + changes_text(row);
    if (good && g.options.baud_given)
        what += ", at " + std::to_string(row.baud) + " baud";
    // Once its information sector was sent the unit may hold its address, however it
    // failed (a checksum mismatch leaves the address on its flash): never another unit's.
    bool reuse = !good && !row.info_sector_sent && !row.kept;
    if (good) {
        g.totals.good++;
        g.good_in_run.insert(address_number(row.address));
        row.slot.has_good = true;
        memcpy(row.slot.last_good, row.address, sizeof row.slot.last_good);
    } else {
        g.totals.failed++;
    }
    if (!good)
        what += reuse                ? ", address given back"
                : row.kept           ? ", address stays with the unit"
                : g.pool.url.empty() ? ", address not used again"
                                     : ", address in doubt";
    event(g, row, what);
    bool settled = settle(g, row, entry, reuse);
    hooks_unit_done(g.hooks, unit_facts_of(entry, g.station, row.reservation));
    if (row.quarantined && row.failed_in_row == g.options.quarantine)
        event(g, row, "quarantined after " + std::to_string(row.failed_in_row) + " failed units in a row: check the fixture" +
                          quarantine_hint(g));
    if (!recorded || !settled) {
        const std::string where = recorded ? "the pool" : "the record " + g.record;
        notice(g, row.name + " " + address_of(row.address) + " is NOT in " + where + ": no more units");
        g.stopping = true;
        g.exit_code = EXIT_RECORD_FILE;
    }
}

// Reads each worker's lines, ends what has ended, and ends a worker silent for too long.
void serve_workers(gang_run& g)
{
    std::vector<os_worker*> workers;
    for (const port_row& row : g.rows)
        if (row.state == PORT_BUSY)
            workers.push_back(row.worker);
    if (workers.empty())
        return;
    os_worker_wait(workers, WAIT_MS);
    const auto now = gang_clock::now();
    for (port_row& row : g.rows) {
        if (row.state != PORT_BUSY)
            continue;
        std::string text;
        bool open = os_worker_read(row.worker, text);
        if (!text.empty())
            row.last_heard = now;
        row.pending += text;
        for (size_t end; (end = row.pending.find('\n')) != std::string::npos;) {
            std::string line = row.pending.substr(0, end);
            row.pending.erase(0, end + 1);
            const bool written = row.info_sector_sent;
            bool news = take_worker_line(row, line);
            if (row.info_sector_sent && !written && !g.pool.url.empty())
                note_written(g.pool, row.reservation);
            if (news)
                event(g, row,
                      address_of(row.address) + " " + row.phase +
                          (row.phase == "boot" ? ", attempt " + std::to_string(row.attempts) : ""));
        }
        std::string reason;
        if (open && now - row.last_heard > seconds(g.options.worker_timeout_s)) {
            os_worker_kill(row.worker);
            reason = "the worker was silent for " + std::to_string(g.options.worker_timeout_s) + " s and was ended";
            open = false;
        } else if (open && g.aborting && now > g.abort_deadline) {
            os_worker_kill(row.worker);
            open = false;
        }
        if (!open)
            finish_unit(g, row, os_worker_finish(row.worker), reason, now);
    }
}

// How the units' hooks and labels ended: counted, and what failed beside the unit's slot.
void serve_deliveries(gang_run& g)
{
    for (const delivery_report& rep : hooks_serve(g.hooks)) {
        g.totals.deliveries[{rep.kind, rep.result}]++;
        if (rep.result == "delivered")
            continue;
        const std::string what = rep.address + " " + delivery_trouble(rep) + ": " + rep.why;
        port_row* unit_row = nullptr;
        for (port_row& row : g.rows)
            if (row.name == rep.port && address_of(row.address) == rep.address)
                unit_row = &row;
        if (unit_row) {
            unit_row->delivery = delivery_trouble(rep);
            event(g, *unit_row, what);
        } else {
            notice(g, rep.port + " " + what);
        }
    }
}

bool wants_unit(const gang_run& g, const port_row& row)
{
    return row.state == PORT_EMPTY && row.present && !row.quarantined && taking_units(g);
}

// The unit the slot last programmed good is back with the image intact: shown good again,
// with no new address, no write and no second record.
void unit_back(gang_run& g, port_row& row, gang_clock::time_point now)
{
    row = next_unit_row(row);
    row.state = PORT_DONE;
    row.phase = "good";
    row.already = true;
    memcpy(row.address, row.slot.last_good, sizeof row.address);
    row.started = row.ended = now;
    row.next_probe = now + PROBE_INTERVAL;
    event(g, row, address_of(row.address) + " good (already): the same unit back, nothing written");
}

// A port that can't be opened now: the slot keeps its unit and is looked at again.
void slot_fault(gang_run& g, port_row& row, const std::string& fault)
{
    if (row.slot.fault != fault)
        event(g, row, "port fault: can't open it (" + fault + "), trying again");
    row.slot.fault = fault;
}

// What the last look found: a new unit is started (or known again), a done unit is gone
// only when no unit answers on a port that opened or the port itself is gone.
void take_probe_answer(gang_run& g, gang_clock::time_point now)
{
    std::string port;
    slot_look look;
    if (!prober_answer(g.probes, port, look))
        return;
    g.probing.clear();
    for (port_row& row : g.rows) {
        if (row.name != port)
            continue;
        row.next_probe = now + PROBE_INTERVAL;
        if (look.finding == SLOT_FAULT) {
            slot_fault(g, row, look.fault);
            continue;
        }
        if (!row.slot.fault.empty())
            event(g, row, "port opens again");
        row.slot.fault.clear();
        const bool answers = look.finding == SLOT_UNIT;
        if (answers && wants_unit(g, row)) {
            if (same_unit_back(row.slot, look))
                unit_back(g, row, now);
            else
                start_unit(g, row, look, now);
        } else if (row.state == PORT_DONE && !answers) {
            row.state = PORT_EMPTY;
            event(g, row, look.finding == SLOT_GONE ? "unit gone (port gone)" : "unit gone");
        }
    }
}

// One probe at a time, of the port waiting longest.
void probe_next_port(gang_run& g, gang_clock::time_point now)
{
    for (port_row& row : g.rows)
        if (row.state == PORT_DONE && !row.present) {
            row.state = PORT_EMPTY;
            event(g, row, "unit gone (port gone)");
        }
    take_probe_answer(g, now);
    if (!g.probing.empty())
        return;
    port_row* next = nullptr;
    for (port_row& row : g.rows) {
        bool wanted = (row.state == PORT_DONE && row.present) || wants_unit(g, row);
        if (wanted && row.next_probe <= now && (!next || row.next_probe < next->next_probe))
            next = &row;
    }
    if (next && prober_ask(g.probes, next->name, wants_unit(g, *next), next->slot))
        g.probing = next->name;
}

// The operator has checked the fixtures: quarantined ports take units again.
void release_quarantine(gang_run& g)
{
    std::string released;
    for (port_row& row : g.rows)
        if (row.quarantined) {
            row.quarantined = false;
            row.failed_in_row = row.not_started_in_row = 0;
            released += " " + row.label;
        }
    if (!released.empty())
        notice(g, "in use again:" + released);
}

void take_requests(gang_run& g, gang_clock::time_point now)
{
    // One key a turn: an input that has ended keeps saying so, and reads as 'q'.
    int key = g.keys && key_waiting() ? read_key() : 0;
    bool quit = key == 'q' || key == 'Q';
    if (key == 'r' || key == 'R')
        release_quarantine(g);
    int requests = os_stop_requests();
    if ((quit || requests > 0) && !g.stopping) {
        g.stopping = true;
        notice(g, "ending after the units in progress (Ctrl+C again stops them)");
    }
    if (requests > 1 && !g.aborting) {
        g.aborting = true;
        g.abort_deadline = now + ABORT_GRACE;
        g.exit_code = EXIT_STOPPED;
        notice(g, "stopping the units in progress");
        for (port_row& row : g.rows)
            if (row.state == PORT_BUSY)
                os_worker_stop(row.worker);
    }
}

// The table and the page, from the same rows and totals.
void show(gang_run& g, gang_clock::time_point now, bool always)
{
    if (!always && now < g.next_draw)
        return;
    g.next_draw = now + REDRAW_INTERVAL;
    if (g.live)
        draw_table(table_lines(g.rows, g.totals, g.notice, now), g.drawn);
    if (g.page) {
        page_publish(g.page, status_json(g.rows, g.totals, g.notice, now));
        metrics_facts facts = pool_metrics_facts(g.pool);
        facts.station = g.station;
        facts.deliveries_waiting = hooks_waiting(g.hooks);
        page_publish_metrics(g.page, metrics_text(metrics_slots(g.rows), g.totals, facts, now));
    }
}

// Lock, address file, image and record, before any unit; the exit code of a failure.
int prepare(gang_run& g)
{
    const gang_options& o = g.options;
    g.descriptors = os_raise_descriptor_limit();
    std::string hooks_error;
    if (!hooks_start(o.hooks, g.hooks, hooks_error)) {
        fprintf(stderr, "pelmo4rix gang: %s\n", hooks_error.c_str());
        return EXIT_USAGE;
    }
    g.station = o.station.empty() ? os_host_name() : o.station;
    image_facts facts;
    std::string why;
    if (!o.image_file.empty() && !load_image(o.image_file, {o.trust, o.allow_unsigned}, facts, why)) {
        fprintf(stderr, "pelmo4rix: %s\n", why.c_str());
        return EXIT_IMAGE_FILE;
    }
    if (!o.pool.empty()) {
        g.pool.url = o.pool;
        g.pool.station = o.station.empty() ? os_host_name() : o.station;
        g.pool.journal = o.journal;
        std::string message;
        int code = EXIT_OK;
        if (!open_pool(g.pool, message, code)) {
            fprintf(stderr, "pelmo4rix: %s\n", message.c_str());
            return code;
        }
        g.record = o.record;  // the pool keeps the record; a local copy only when asked
    } else {
        if (!load_address_file(o.address_file.c_str()))
            return EXIT_ADDRESS_FILE;
        g.pool.path = o.address_file;
        g.record = o.record.empty() ? record_beside(o.address_file) : o.record;
    }
    FILE* record = g.record.empty() ? nullptr : os_file_open(g.record.c_str(), "ab");
    if (!record && !g.record.empty()) {
        fprintf(stderr, "pelmo4rix: can't write the production record %s%s\n", g.record.c_str(),
                os_file_is_link(g.record.c_str()) ? " (a symbolic link: refused)" : "");
        return EXIT_RECORD_FILE;
    }
    if (record)
        fclose(record);
    for (size_t i = 0; i < o.ports.size(); i++) {
        g.rows.push_back(port_row{});
        g.rows.back().name = o.ports[i];
        g.rows.back().label = o.labels.empty() ? o.ports[i] : o.labels[i];
    }
    if (o.http) {
        int port = 0;
        std::string error;
        const unsigned connections = page_connections(g.descriptors, o.ports.size());
        g.page = page_start(o.http_host, o.http_port, o.http_names, connections, port, error);
        if (!g.page) {
            fprintf(stderr, "pelmo4rix gang: %s\n", error.c_str());
            return EXIT_NO_PAGE;
        }
        g.page_url = "http://" + (o.http_host.find(':') != std::string::npos ? "[" + o.http_host + "]" : o.http_host) +
                     ":" + std::to_string(port) + "/";
    }
    return EXIT_OK;
}

// While the pool's server is away: tries it again now and then, and says what it waits for.
void keep_pool(gang_run& g)
{
    if (g.pool.url.empty())
        return;
    std::string message;
    if (g.pool.store) {
        keep_lease(g.pool, message);
        if (!message.empty())
            notice(g, message);
        return;
    }
    if (reach_pool(g.pool, message)) {
        notice(g, message);
        g.waiting.clear();
    } else if (!message.empty()) {
        waiting_for_pool(g, message);
    }
}

// At the end, results in the journal wait for the server unless a second Ctrl+C ends it.
void send_what_waits(gang_run& g)
{
    if (g.pool.url.empty() || g.pool.journal_waiting == 0 || g.pool.store)
        return;
    notice(g, std::to_string(g.pool.journal_waiting) + " results wait in the journal " + g.pool.journal +
                  " for the pool server (Ctrl+C twice leaves them there for the next run)");
    while (!g.pool.store && !g.aborting) {
        take_requests(g, gang_clock::now());
        keep_pool(g);
        os_sleep_ms(WAIT_MS);
    }
}

// At the end, the hooks and labels still running are waited for (each within its time-out);
// a second Ctrl+C puts them into the spool.
void deliver_what_waits(gang_run& g)
{
    if (hooks_waiting(g.hooks) > 0)
        notice(g, "waiting for " + std::to_string(hooks_waiting(g.hooks)) +
                      " hooks and labels (Ctrl+C twice puts them into the spool)");
    while (hooks_waiting(g.hooks) > 0) {
        take_requests(g, gang_clock::now());
        if (g.aborting)
            hooks_abort(g.hooks);
        serve_deliveries(g);
        show(g, gang_clock::now(), false);
        os_sleep_ms(WAIT_MS);
    }
}

std::string where_addresses_come_from(const gang_run& g)
{
    if (g.pool.url.empty())
        return "next address " + address_of(bt_address) + ", record " + g.record;
    return "pool " + g.pool.server + ", station " + g.pool.station + ", journal " + g.pool.journal +
           (g.record.empty() ? "" : ", record " + g.record);
}

int run(gang_run& g)
{
    g.live = os_live_display();
    g.keys = os_keys_typed();
    g.totals.start = gang_clock::now();
    print_event("gang", where_addresses_come_from(g) +
                            (g.options.units ? ", " + std::to_string(g.options.units) + " units" : ""));
    if (g.page)
        print_event("gang", "page " + g.page_url);
    if (!g.pool.opening_note.empty())
        print_event("gang", g.pool.opening_note);
    // The device layer's messages are held back from here on (a silent port is no news, and
    // the gang says itself what went wrong); the probe thread has the port.
    console_stream = nullptr;
    g.probes = prober_start();
    show(g, g.totals.start, true);
    for (;;) {
        auto now = gang_clock::now();
        take_requests(g, now);
        if (!taking_units(g) && !busy(g))
            break;
        keep_pool(g);
        refresh_ports(g, now);
        serve_workers(g);
        serve_deliveries(g);
        probe_next_port(g, gang_clock::now());
        if (!busy(g))
            os_sleep_ms(WAIT_MS);
        show(g, gang_clock::now(), false);
    }
    prober_stop(g.probes);
    console_stream = stderr;
    deliver_what_waits(g);
    send_what_waits(g);
    if (!g.pool.journal_trouble.empty())
        notice(g, "results in the journal " + g.pool.journal + " can't be stored: " + g.pool.journal_trouble);
    show(g, gang_clock::now(), true);
    // What is left as the pool counts it now, failed units' addresses given back included.
    const int64_t left = g.pool.url.empty() ? -1 : addresses_left(g.pool);
    if (!close_pool(g.pool) && g.exit_code == EXIT_OK)
        g.exit_code = EXIT_ADDRESS_FILE;
    // After close_pool: the file's next address is then the one the next run starts at.
    const std::string next = g.pool.url.empty() ? ", next address " + address_of(bt_address)
                             : left >= 0         ? ", " + count_of(left, "address", "addresses") + " left"
                                                 : "";
    char totals[96];
    snprintf(totals, sizeof totals, "good %d, failed %d, units/hour %.0f", g.totals.good, g.totals.failed,
             units_per_hour(g.totals, gang_clock::now()));
    print_event("gang", std::string("end: ") + totals + next);
    if (g.exit_code == EXIT_OK && g.totals.failed > 0)
        g.exit_code = EXIT_UNITS_FAILED;
    return g.exit_code;
}

}  // namespace

int gang_main(int argc, char** argv)
{
    if (argc == 3 && std::string(argv[1]) == SEND_LABEL)  // the gang's own label process
        return send_label(argv[2]);
    gang_run g;
    std::string error;
    if (!parse_gang_options(argc, argv, g.options, error)) {
        fprintf(stderr, "pelmo4rix gang: %s\n%s", error.c_str(), gang_usage().c_str());
        return EXIT_USAGE;
    }
    if (g.options.help) {
        printf("%s", gang_usage().c_str());
        return EXIT_OK;
    }
    if (!g.options.replay_hooks.empty())
        return replay_hooks(g.options.replay_hooks, g.options.hooks.timeout_s);
    console_stream = stderr;  // the address file's messages; standard output is the gang's
    os_file_lock* lock = nullptr;
    if (g.options.pool.empty() && !(lock = lock_address_file(g.options.address_file.c_str())))
        return EXIT_ADDRESS_FILE;
    os_watch_stop_requests();
    int code = prepare(g);
    if (code == EXIT_OK)
        code = run(g);
    page_stop(g.page);
    hooks_stop(g.hooks);
    unlock_address_file(lock);
    return code;
}
