// The virtual unit's line: what the program writes arrives byte by byte (garbled at a wrong
// speed), and what the unit sends crosses the line and the adapter model before the program
// sees it.
//
// At line rate every byte reaches the other side when its 10 bit times have passed, timed
// from a monotonic deadline so that the error never adds up; the thread wakes in steps of
// tens of microseconds, so a reply has no gap that a real line would not have. Bytes toward
// the program can pass through a model of a USB adapter that holds them for its latency timer.
#include <unistd.h>

#include <algorithm>

#include "pty.h"
#include "unit_thread.h"

using std::chrono::milliseconds;

namespace {

constexpr size_t adapter_packet = 62;  // a USB adapter passes its bytes on at this many

}  // namespace

// Reads what the program wrote. Bytes sent at a speed other than the unit's arrive garbled;
// with --line-rate each byte arrives when the line would have delivered it.
void vunit::read_input(time_point now)
{
    uint8_t buffer[8192];
    ssize_t n;
    while (master >= 0 && (n = read(master, buffer, sizeof buffer)) > 0) {
        uint32_t program_baud = line_speed(master);
        std::vector<uint8_t> bytes;
        if (program_baud == model.baud)
            bytes.assign(buffer, buffer + n);
        else
            bytes = uart_resample(buffer, size_t(n), program_baud, model.baud);
        time_point start = now, end = now;
        if (config.line_rate && program_baud) {
            start = std::max(now, rx_line_free);
            end = rx_line_free = after(start, 10.0 * double(n) / program_baud);
        }
        for (size_t i = 0; i < bytes.size(); ++i) {
            time_point at = now;
            if (config.line_rate)
                at = start + std::chrono::duration_cast<steady::duration>((end - start) * double(i + 1) / double(bytes.size()));
            rx.push_back({bytes[i], at});
        }
    }
}

// Queues bytes toward the program; on an idle line they start at `at` (not before).
void vunit::send(const std::vector<uint8_t>& bytes, uint32_t unit_baud, tx_chunk::origin_t origin, time_point at)
{
    uint32_t program_baud = line_speed(master);
    tx_chunk c;
    c.origin = origin;
    c.original = bytes;
    c.garbled = program_baud != unit_baud;
    c.wire = c.garbled ? uart_resample(bytes.data(), bytes.size(), unit_baud, program_baud) : bytes;
    if (config.line_rate && !c.wire.empty())
        c.interval = 10.0 * double(bytes.size()) / unit_baud / double(c.wire.size());
    if (queued() == held)
        tx_next = std::max(tx_next, at);
    tx.push_back(std::move(c));
}

void vunit::flush(time_point now)
{
    if (master < 0)
        return;
    cross_line(now);
    deliver(deliverable(now));
}

// Moves onto the far side of the line (into the adapter) every byte whose 10 bit times have
// passed by `now`; without --line-rate, every byte at once.
void vunit::cross_line(time_point now)
{
    size_t skip = held;
    for (const tx_chunk& c : tx) {
        size_t left = c.wire.size() - c.done;
        if (skip >= left) {
            skip -= left;
            continue;
        }
        size_t count = left - skip;
        skip = 0;
        time_point first_at = now;
        if (config.line_rate) {
            double due = now > tx_next ? seconds_between(tx_next, now) / c.interval : 0;
            count = std::min(count, size_t(due));
            first_at = after(tx_next, c.interval);
            tx_next = after(tx_next, double(count) * c.interval);
        }
        if (count == 0)
            return;
        if (held == 0)
            held_since = first_at;
        held += count;
    }
}

// Bytes the adapter passes on now: whole packets, or everything once its timer has run out.
size_t vunit::deliverable(time_point now) const
{
    if (config.adapter_latency_ms == 0 || now >= held_since + milliseconds(config.adapter_latency_ms))
        return held;
    return held / adapter_packet * adapter_packet;
}

// Writes `n` held bytes to the program's side, as far as it takes them.
void vunit::deliver(size_t n)
{
    while (!tx.empty()) {
        tx_chunk& c = tx.front();
        if (c.done == c.wire.size()) {
            if (c.garbled)
                sent(c, 0, c.original.size());
            tx.pop_front();
            continue;
        }
        if (n == 0)
            return;
        size_t want = std::min(n, c.wire.size() - c.done);
        size_t wrote = want;  // a closed port loses what the unit sends
        if (port_in_use()) {
            ssize_t written = write(master, c.wire.data() + c.done, want);
            if (written <= 0)
                return;  // the program's side is full; poll tells when it drains
            wrote = size_t(written);
        }
        if (!c.garbled)
            sent(c, c.done, c.done + wrote);
        c.done += wrote;
        held -= wrote;
        n -= wrote;
        if (held > 0 && n == 0)
            held_since = steady::now();  // the adapter's timer starts again behind a packet
    }
}

// Keeps the record of trace bytes sent: as they go when they cross the line intact, whole
// once a garbled chunk has gone.
void vunit::sent(const tx_chunk& c, size_t from, size_t to)
{
    if (c.origin != tx_chunk::trace)
        return;
    trace_sent.insert(trace_sent.end(), c.original.begin() + long(from), c.original.begin() + long(to));
    if (trace_file) {
        std::fwrite(c.original.data() + from, 1, to - from, trace_file);
        std::fflush(trace_file);
    }
}

// Whether the program has the port open (always true when that can't be watched).
bool vunit::port_in_use()
{
    if (watch < 0)
        return true;
    follow_openers(watch, terminal, openers);
    return openers > 0;
}

size_t vunit::queued() const
{
    size_t n = 0;
    for (const auto& c : tx)
        n += c.wire.size() - c.done;
    return n;
}

// Line time of the first byte that has not crossed the line yet (0 when there is none).
double vunit::next_interval() const
{
    size_t skip = held;
    for (const auto& c : tx) {
        size_t left = c.wire.size() - c.done;
        if (skip < left)
            return c.interval;
        skip -= left;
    }
    return 0;
}
