// What the front end needs of the operating system beyond the serial port: one
// implementation per platform (os_posix.cpp, os_win32.cpp).
#pragma once

#include <cstdio>
#include <string>

// True when `stream` is a terminal (a console on Windows).
bool stream_is_terminal(FILE* stream);

// From now on the first Ctrl+C (or SIGTERM) is only recorded, so that the command can end
// cleanly; a second one ends the program at once.
void watch_stop_signals();

// The signal that asked the program to stop (SIGINT, SIGTERM), or 0.
int stop_signal();

// Standard output in binary mode, so that a trace written there arrives byte for byte.
void binary_standard_output();

// What the system tells of the adapter behind a serial port; a field stays empty (or -1)
// where it tells nothing, as for a pseudo-terminal or on Windows.
struct port_adapter {
    std::string driver;         // the driver's name (ftdi_sio, cp210x, ...)
    std::string usb_id;         // USB vendor and product, as VVVV:PPPP in hexadecimal
    int latency_timer_ms = -1;  // the adapter's latency timer
};
constexpr int LATENCY_HINT_MS = 2;  // above this, programming waits noticeably on every reply

// The adapter behind the port that `name` opens; `system_dir` is where the system describes
// its devices (/sys on Linux).
port_adapter adapter_of(const std::string& name, const std::string& system_dir = "/sys");
