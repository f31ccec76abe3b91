// The virtual unit's thread and everything it keeps, shared by its two halves: the unit's
// loop (vunit.cpp: frames in, the model's answers, trace, noise, the API) and the line
// (line.cpp: bytes across the simulated line and through the adapter model). Included by
// those two files only.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <deque>
#include <mutex>
#include <random>
#include <thread>

#include "internal.h"

using namespace vunit_detail;
using steady = std::chrono::steady_clock;
using time_point = steady::time_point;

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

inline time_point after(time_point t, double seconds)
{
    return t + std::chrono::duration_cast<steady::duration>(std::chrono::duration<double>(seconds));
}

inline double seconds_between(time_point a, time_point b) { return std::chrono::duration<double>(b - a).count(); }

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
