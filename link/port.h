// The one serial port of the program, held in port_handle.
#pragma once

#include <cstdint>

constexpr int PORT_NAME_MAX = 15;  // longest name that fits the device path with its prefix

int open_port(const char* name);      // 1 when a port is open afterwards
int configure_port(uint32_t baud);    // 8N1 at baud with the read and write time-outs
int set_port_mask();                  // event mask: a character received
void close_port();                    // harmless with no port open
// Whether the open port runs at `baud` (set, then set back to 115200); nothing is sent.
int port_can_run_at(uint32_t baud);
