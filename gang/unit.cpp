// A unit's life on its slot: its address taken (or kept), its worker started and followed,
// its end recorded and its address settled with the pool, its hook and label queued.
#include "gang/run.h"

#include <cstring>

#include "common/exit_codes.h"
#include "common/os.h"
#include "common/text.h"
#include "tools/production_record.h"

namespace {

using std::chrono::seconds;

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
        if (!g.options.min_version.empty())
            argv.insert(argv.end(), {"--min-version", g.options.min_version});
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

}  // namespace

void waiting_for_pool(gang_run& g, const std::string& why)
{
    if (why != g.waiting)
        notice(g, "waiting for the pool server: " + why);
    g.waiting = why;
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
