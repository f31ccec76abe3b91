// The gang's loop and its timers: watch the ports, look at one slot at a time, follow the
// workers and the deliveries, take the operator's keys and stop requests, and show it all.
#include "gang/run.h"

#include <csignal>
#include <cstdio>

#include "common/exit_codes.h"
#include "common/text.h"
#include "gang/os.h"
#include "image/image.h"
#include "line/page.h"
#include "link/console_print.h"
#include "link/discovery.h"
#include "link/os_port.h"
#include "link/port.h"
#include "link/state.h"
#include "tools/console.h"

namespace {

using std::chrono::milliseconds;
using std::chrono::seconds;

constexpr int EXIT_STOPPED = EXIT_SIGNAL_BASE + SIGINT;  // a second Ctrl+C

constexpr auto LIST_INTERVAL = seconds(2);          // the system's port list read again
constexpr auto REDRAW_INTERVAL = milliseconds(200);
constexpr auto ABORT_GRACE = seconds(5);            // stopped workers that linger are killed

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
            const std::string label = default_slot_label(name, g.rows);
            g.rows.push_back(port_row{});
            found = &g.rows.back();
            found->name = name;
            found->label = label;
        }
        found->present = true;
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

}  // namespace

void event(const gang_run& g, const port_row& row, const std::string& what)
{
    if (!g.live)
        print_event(row.label, what);
}

void notice(gang_run& g, const std::string& what)
{
    g.notice = what;
    if (!g.live)
        print_event("gang", what);
}

int gang_loop(gang_run& g)
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
    if (!image_downgraded_from.empty())
        print_event("gang", "programming version " + std::string(image_version) + ", older than " +
                                image_downgraded_from + " that the pool has recorded good (--allow-downgrade)");
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
