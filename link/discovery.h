// Finding the port on which the unit answers.
#pragma once

constexpr int SCAN_FIRST = 1;    // the numbered ports tried after the listed ones: COM1 ...
constexpr int SCAN_LAST = 255;   // ... to COM255

// 1 when the unit answered the probe on `name`, after one restart if need be; the port is
// closed again either way.
int probe_port(const char* name);
// The same on the port already open in port_handle (its opener wanted to know why an open
// failed); the port is closed either way.
int probe_open_port();

// Probes the listed ports, then COM1 to COM255; 1 with found_port_name set when one answered.
int find_device();

// Opens found_port_name at 115200 baud with its event mask; 1 on success.
int reopen_port();
