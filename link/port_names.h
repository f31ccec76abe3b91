// What the system tells of a serial port beyond opening it: the stable names that follow an
// adapter's place (by-path) or its serial number (by-id), and the adapter behind the port.
// Implemented beside the port itself, in os_port_posix.cpp and os_port_win32.cpp.
#pragma once

#include <string>
#include <vector>

#include "link/port.h"

// Stable names live in this folder of the device directory: serial/by-path/..., serial/by-id/...
constexpr char STABLE_NAME_PREFIX[] = "serial/";
// A stable name is turned into the port it leads to before it is opened, so it may be longer
// than a port name; the system keeps such names well under this.
constexpr size_t STABLE_NAME_MAX = 255;

struct port_facts {
    std::vector<std::string> by_path, by_id;  // the stable names that lead to the port now
    std::string usb_id;        // USB vendor and product, as VVVV:PPPP in hexadecimal
    std::string serial;        // the USB device's serial number
    std::string driver;        // the driver's name (ftdi_sio, cp210x, ...)
    std::string product;       // the USB device's own name for itself
    int latency_timer_ms = -1; // the adapter's latency timer; -1: not told
};
constexpr int LATENCY_HINT_MS = 2;  // above this, programming waits noticeably on every reply

inline bool is_stable_name(const std::string& name)
{
    return name.compare(0, sizeof STABLE_NAME_PREFIX - 1, STABLE_NAME_PREFIX) == 0;
}

// A name a user may give for a port: a port name, or a stable name.
inline bool port_name_fits(const std::string& name)
{
    return !name.empty() && (name.size() <= PORT_NAME_MAX || (is_stable_name(name) && name.size() <= STABLE_NAME_MAX));
}

// The name the port is opened by now: a stable name gives the port it leads to in the device
// directory (ttyUSB1 after a re-plug that swapped the adapters' numbers); any other name, or a
// stable name that leads nowhere, stands as it is.
std::string current_port_name(const std::string& name);
// The stable names of `kind` ("by-path" or "by-id") that exist now, in name order.
std::vector<std::string> stable_port_names(const std::string& kind);
// What the system tells of the port that `name` opens; fields it does not tell stay empty.
port_facts facts_of_port(const std::string& name);
