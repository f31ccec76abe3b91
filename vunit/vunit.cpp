// The virtual unit's thread: its loop takes the frames that have arrived, has the unit model
// answer them, streams the trace and injects noise; the line that carries the bytes both ways,
// and paces them when asked to, is in line.cpp. The API functions below talk to the thread
// under one mutex.
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <sched.h>
#include <unistd.h>

#include <cmath>

#include "pty.h"
#include "unit_thread.h"

using std::chrono::microseconds;
using std::chrono::milliseconds;

namespace {

constexpr auto stall_limit = milliseconds(50);  // a partial frame quiet this long is dropped
constexpr size_t trace_backlog = 256;           // new trace lines wait while more is queued
constexpr auto longest_wait = milliseconds(1000);
constexpr auto pace_step = microseconds(40);    // shortest sleep while a line is busy

}  // namespace

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
