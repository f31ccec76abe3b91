// Line speeds outside the termios table on Linux (termios2 with BOTHER). Apart from
// os_port_posix.cpp because the kernel's termios2 header and the C library's termios.h can't
// meet in one file.
#pragma once

#include <cstdint>

// Sets both speeds of the terminal `fd` to `baud`, whatever the rate; false when refused.
bool set_any_baud(int fd, uint32_t baud);
// The output speed the driver runs `fd` at (it may round what it was asked); 0 when unknown.
uint32_t actual_baud(int fd);
