// The virtual unit's thread: it moves bytes between the pty master and the unit model,
// garbles what crosses the line at mismatched speeds, paces the line when asked to, streams
// the trace and injects noise. The API functions below talk to it under one mutex.
//
// At line rate every byte reaches the other side when its 10 bit times have passed, timed
// from a monotonic deadline so that the error never adds up; the thread wakes in steps of
// tens of microseconds, so a reply has no gap that a real line would not have. Bytes toward
// the program can pass through a model of a USB adapter that holds them for its latency timer.
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <sched.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <deque>
#include <mutex>
#include <random>
#include <thread>

#include "internal.h"
#include "pty.h"

using namespace vunit_detail;
using steady = std::chrono::steady_clock;
using time_point = steady::time_point;
using std::chrono::microseconds;
using std::chrono::milliseconds;

namespace {

constexpr auto stall_limit = milliseconds(50);  // a partial frame quiet this long is dropped
constexpr size_t trace_backlog = 256;           // new trace lines wait while more is queued
constexpr auto longest_wait = milliseconds(1000);
constexpr auto pace_step = microseconds(40);    // shortest sleep while a line is busy
constexpr size_t adapter_packet = 62;           // a USB adapter passes its bytes on at this many

struct rx_byte {
    uint8_t value;
    time_point at;  // when the byte has fully arrived on the simulated line
};

struct tx_chunk {
    enum origin_t { reply, trace, noise } origin;
    std::vector<uint8_t> original;  // what the unit sent
    std::vector<uint8_t> wire;      // what reaches the program (differs at a wrong speed)
    bool garbled = false;
    size_t done = 0;                // wire bytes passed to the program
    double interval = 0;            // seconds per wire byte with --line-rate
};

time_point after(time_point t, double seconds)
{
    return t + std::chrono::duration_cast<steady::duration>(std::chrono::duration<double>(seconds));
}

double seconds_between(time_point a, time_point b) { return std::chrono::duration<double>(b - a).count(); }

}  // namespace

struct vunit {
    vunit_config config;
    std::mutex mutex;
    std::condition_variable changed;
    std::thread thread;
    int wake[2] = {-1, -1};
    bool stop_requested = false, unplug_requested = false, unplugged = false;

    int master = -1, terminal = -1;
    int watch = -1;    // inotify on the terminal side
    int openers = 0;   // the program's open descriptors of the port
    std::string terminal_path, link_path, port_path;
    unit_model model;

    // Receiving: bytes in line order, then the scanner's partial frame.
    std::deque<rx_byte> rx;
    time_point rx_line_free;
    std::vector<uint8_t> scan;
    time_point scan_last;
    bool busy = false;  // a delayed reply is pending; input waits
    time_point busy_until;
    plan pending;
    uint32_t pending_baud = 0;

    // Sending: chunks in line order. The first `held` bytes not yet passed to the program
    // have crossed the line and wait in the adapter since `held_since`; the line is free
    // for the next byte at `tx_next`.
    std::deque<tx_chunk> tx;
    time_point tx_next;
    size_t held = 0;
    time_point held_since;
    int trace_rate = 0;

    bool trace_was_on = false;
    time_point trace_start;
    double trace_made = 0;
    unsigned trace_line = 0;
    long trace_left = -1;  // bytes the trace may still send over the unit's life; -1: no end

    std::mt19937 rng{0x9E3779B9u};
    time_point next_noise;

    std::vector<vunit_frame> frames;
    std::vector<uint8_t> trace_sent;
    FILE* log = nullptr;
    FILE* trace_file = nullptr;

    void serve();
    void step(time_point now);
    void read_input(time_point now);
    void take_bytes(time_point now);
    void take_frame(const std::vector<uint8_t>& frame, time_point at);
    void carry_out(const plan& p, uint32_t reply_baud, time_point at);
    void send(const std::vector<uint8_t>& bytes, uint32_t unit_baud, tx_chunk::origin_t origin, time_point at);
    void flush(time_point now);
    void cross_line(time_point now);
    size_t deliverable(time_point now) const;
    void deliver(size_t n);
    void sent(const tx_chunk& chunk, size_t from, size_t to);
    void stream_trace(time_point now);
    void make_noise(time_point now);
    void record(const std::vector<uint8_t>& frame, int kind, uint32_t baud);
    void unplug_now();
    bool port_in_use();
    time_point next_event(time_point now) const;
    size_t queued() const;
    double next_interval() const;
};

void vunit::serve()
{
    std::unique_lock<std::mutex> lock(mutex);
    while (!stop_requested) {
        if (unplug_requested && !unplugged)
            unplug_now();
        step(steady::now());
        pollfd fds[3] = {{wake[0], POLLIN, 0}, {master, POLLIN, 0}, {watch, POLLIN, 0}};
        time_point now = steady::now();
        if (master >= 0 && deliverable(now) > 0)  // the program's side was full
            fds[1].events |= POLLOUT;
        nfds_t count = master < 0 ? 1 : watch < 0 ? 2 : 3;
        auto wait = std::chrono::duration_cast<std::chrono::nanoseconds>(next_event(now) - now);
        timespec timeout = {time_t(wait.count() / 1000000000), long(wait.count() % 1000000000)};
        lock.unlock();
        ppoll(fds, count, master < 0 ? nullptr : &timeout, nullptr);
        lock.lock();
        if (fds[0].revents & POLLIN) {
            char drain[64];
            while (read(wake[0], drain, sizeof drain) > 0) {
            }
        }
        if (count == 3)  // before reading: a frame is never older than the open it came through
            follow_openers(watch, terminal, openers);
        if (count >= 2 && master >= 0 && (fds[1].revents & POLLIN))
            read_input(steady::now());
    }
}

void vunit::step(time_point now)
{
    if (master < 0)
        return;
    if (busy && now >= busy_until) {
        busy = false;
        carry_out(pending, pending_baud, busy_until);
    }
    take_bytes(now);
    stream_trace(now);
    make_noise(now);
    flush(now);
}

// When the thread must act next, at most `longest_wait` ahead.
time_point vunit::next_event(time_point now) const
{
    time_point next = now + longest_wait;
    auto consider = [&](time_point t) { next = std::min(next, t); };
    if (busy)
        consider(busy_until);
    else if (!rx.empty())  // a frame's reply is timed from its last byte, however late we look
        consider(std::max(rx.front().at, now + pace_step));
    if (!busy && !scan.empty())
        consider(scan_last + stall_limit + milliseconds(1));
    if (config.line_rate && queued() > held)  // the next byte's stop bit, in steps of pace_step
        consider(std::max(after(tx_next, next_interval()), now + pace_step));
    // The adapter's timer; once it has run out, a full program side wakes us through POLLOUT.
    time_point timer_end = held_since + milliseconds(config.adapter_latency_ms);
    if (held > 0 && config.adapter_latency_ms > 0 && timer_end > now)
        consider(timer_end);
    // The next trace line; while the line is full, its draining wakes us instead.
    if (trace_was_on && trace_rate > 0 && trace_left != 0 && queued() < trace_backlog)
        consider(after(trace_start, trace_made / trace_rate));
    if (model.noise)
        consider(next_noise);
    return std::max(next, now);
}

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

// Feeds arrived bytes to the scanner and acts on each complete frame. Garbage is skipped
// byte by byte; a partial frame that stays quiet too long is dropped.
void vunit::take_bytes(time_point now)
{
    while (!busy && master >= 0 && !rx.empty() && rx.front().at <= now) {
        rx_byte b = rx.front();
        rx.pop_front();
        if (!scan.empty() && b.at - scan_last > stall_limit)
            scan.clear();
        scan.push_back(b.value);
        scan_last = b.at;
        std::vector<uint8_t> frame;
        while (!busy && master >= 0 && next_frame(scan, frame))
            take_frame(frame, b.at);
    }
    bool more_due = !rx.empty() && rx.front().at <= now;
    if (!busy && !more_due && !scan.empty() && now - scan_last > stall_limit)
        scan.clear();
}

// `at`: when the frame's last byte arrived; the unit's answer is timed from there.
void vunit::take_frame(const std::vector<uint8_t>& frame, time_point at)
{
    int kind = frame_kind(frame);
    uint32_t baud = model.baud;
    record(frame, kind, baud);
    plan p = model.handle(frame, kind);
    if (p.delay_ms > 0) {
        busy = true;
        busy_until = at + std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                              std::chrono::duration<double, std::milli>(p.delay_ms));
        pending = p;
        pending_baud = baud;
        return;
    }
    carry_out(p, baud, at);
}

// The reply goes out at the speed the unit had when it took the frame; a speed change or a
// restart takes effect behind it.
void vunit::carry_out(const plan& p, uint32_t reply_baud, time_point at)
{
    if (p.send)
        send(p.reply, reply_baud, tx_chunk::reply, at);
    if (p.baud_after)
        model.baud = p.baud_after;
    if (p.unplug)
        unplug_now();
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

// The running firmware's debug output: steady text lines with a counter.
void vunit::stream_trace(time_point now)
{
    bool on = model.trace_on && !model.loader && !model.silent && trace_rate > 0;
    if (on && !trace_was_on) {
        trace_start = now;
        trace_made = 0;
    }
    trace_was_on = on;
    if (!on)
        return;
    double due = seconds_between(trace_start, now) * trace_rate;
    if (due - trace_made > 2 * trace_backlog)  // stalled by a full line: no burst to catch up
        trace_made = due - trace_backlog;
    while (trace_made <= due && queued() < trace_backlog && trace_left != 0) {
        char line[96];
        long n = std::snprintf(line, sizeof line, "TRACE %06u t=%08u ms link=idle a2dp=off batt=3900mV\r\n",
                               trace_line++, unsigned(seconds_between(trace_start, now) * 1000));
        if (trace_left > 0) {
            n = std::min(n, trace_left);
            trace_left -= n;
        }
        send(std::vector<uint8_t>(line, line + n), model.baud, tx_chunk::trace, now);
        trace_made += n;
    }
}

// Stray bytes on the line toward the program, now and then, never inside a reply.
void vunit::make_noise(time_point now)
{
    if (!model.noise)
        return;
    std::uniform_int_distribution<int> gap(50, 250), count(1, 3), value(0, 255);
    if (next_noise == time_point{})
        next_noise = now + milliseconds(gap(rng));
    if (now < next_noise)
        return;
    next_noise = now + milliseconds(gap(rng));
    if (!tx.empty() || busy)
        return;
    std::vector<uint8_t> bytes(size_t(count(rng)));
    for (auto& b : bytes)
        b = uint8_t(value(rng));
    send(bytes, model.baud, tx_chunk::noise, now);
}

// Log line: the kind's name (or the frame in hex when it is outside the catalogue), the
// unit's speed, and for erase, write and read frames the flash address.
void vunit::record(const std::vector<uint8_t>& frame, int kind, uint32_t baud)
{
    frames.push_back({kind, baud, frame});
    if (!log)
        return;
    if (const char* name = kind_name(kind)) {
        std::fputs(name, log);
    } else {
        for (uint8_t b : frame)
            std::fprintf(log, "%02X", b);
    }
    std::fprintf(log, " %u", baud);
    if (kind_has_address(kind))
        std::fprintf(log, " 0x%05X", frame_address(frame, kind));
    std::fputc('\n', log);
    std::fflush(log);
}

void vunit::unplug_now()
{
    close_pair(master, terminal);
    if (watch >= 0)
        close(watch);
    watch = -1;
    unpublish_port(link_path, terminal_path);
    rx.clear();
    scan.clear();
    tx.clear();
    held = 0;
    busy = false;
    unplugged = true;
    changed.notify_all();
}

namespace {

void destroy(vunit* u)
{
    close_pair(u->master, u->terminal);
    unpublish_port(u->link_path, u->terminal_path);
    if (u->watch >= 0)
        close(u->watch);
    for (int fd : u->wake)
        if (fd >= 0)
            close(fd);
    if (u->log)
        std::fclose(u->log);
    if (u->trace_file)
        std::fclose(u->trace_file);
    delete u;
}

bool open_output(const std::string& path, FILE*& file, std::string& error)
{
    if (path.empty())
        return true;
    file = std::fopen(path.c_str(), "wb");
    if (!file)
        error = "cannot write " + path;
    return file != nullptr;
}

void wake(vunit* u)
{
    char one = 1;
    if (write(u->wake[1], &one, 1) < 0) {
        // the pipe is full: the thread is awake already
    }
}

}  // namespace

vunit* vunit_start(const vunit_config& config, std::string& error)
{
    auto* u = new vunit;
    u->config = config;
    u->trace_rate = config.trace_rate;
    u->trace_left = config.trace_bytes;
    bool ok = u->model.init(config, error) && open_output(config.log, u->log, error) &&
              open_output(config.trace_out, u->trace_file, error) &&
              open_pair(u->master, u->terminal, u->terminal_path, error);
    if (ok)  // before the port is published: every open of it is seen
        u->watch = watch_terminal(u->terminal_path);
    ok = ok && (config.device_dir.empty() ||
               publish_port(config.device_dir, config.name, config.list, u->terminal_path, u->link_path, error));
    if (ok && pipe2(u->wake, O_CLOEXEC | O_NONBLOCK) != 0) {
        error = "cannot create a pipe";
        ok = false;
    }
    if (!ok) {
        destroy(u);
        return nullptr;
    }
    u->port_path = config.device_dir.empty() ? u->terminal_path : u->link_path;
    u->thread = std::thread([u] { u->serve(); });
    if (config.line_rate) {
        // A real UART never stalls: where the system allows it, the pacing thread runs ahead
        // of ordinary load, so that a busy machine does not open gaps in a reply.
        sched_param priority{};
        priority.sched_priority = 1;
        pthread_setschedparam(u->thread.native_handle(), SCHED_FIFO, &priority);
    }
    return u;
}

std::string vunit_port_path(const vunit* unit) { return unit->port_path; }

std::vector<vunit_frame> vunit_frames(vunit* unit)
{
    std::lock_guard<std::mutex> lock(unit->mutex);
    return unit->frames;
}

std::vector<uint8_t> vunit_flash(vunit* unit)
{
    std::lock_guard<std::mutex> lock(unit->mutex);
    return unit->model.flash;
}

std::vector<uint8_t> vunit_trace_sent(vunit* unit)
{
    std::lock_guard<std::mutex> lock(unit->mutex);
    return unit->trace_sent;
}

uint32_t vunit_baud(vunit* unit)
{
    std::lock_guard<std::mutex> lock(unit->mutex);
    return unit->model.baud;
}

bool vunit_in_loader(vunit* unit)
{
    std::lock_guard<std::mutex> lock(unit->mutex);
    return unit->model.loader;
}

void vunit_set_trace_rate(vunit* unit, int bytes_per_second)
{
    std::lock_guard<std::mutex> lock(unit->mutex);
    unit->trace_rate = bytes_per_second;
    unit->trace_was_on = false;  // the new rate counts from now
    wake(unit);
}

void vunit_unplug(vunit* unit)
{
    std::unique_lock<std::mutex> lock(unit->mutex);
    unit->unplug_requested = true;
    wake(unit);
    unit->changed.wait(lock, [unit] { return unit->unplugged; });
}

void vunit_stop(vunit* unit)
{
    if (!unit)
        return;
    {
        std::lock_guard<std::mutex> lock(unit->mutex);
        unit->stop_requested = true;
    }
    wake(unit);
    unit->thread.join();
    if (!unit->config.flash_out.empty()) {
        const auto& flash = unit->model.flash;
        bool written = false;
        if (FILE* out = std::fopen(unit->config.flash_out.c_str(), "wb")) {
            written = std::fwrite(flash.data(), 1, flash.size(), out) == flash.size();
            written = std::fclose(out) == 0 && written;
        }
        if (!written)
            std::fprintf(stderr, "pelmo4rix-vunit: cannot write %s\n", unit->config.flash_out.c_str());
    }
    destroy(unit);
}
