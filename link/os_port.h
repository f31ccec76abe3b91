// The operating system's side of the serial port: one implementation per platform
// (os_port_posix.cpp, os_port_win32.cpp), exactly one compiled into a program.
// Read and write time-outs mean the same on every platform:
//   a read of n bytes returns as soon as n bytes have arrived, once the line has been quiet
//   for more than 1 ms after a byte, or at the latest n + 1 ms after it began;
//   a write of n bytes is whole or gives up after 3 * n + 3 ms.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

struct os_port;

// Opens the port called `name` for exclusive read and write; nullptr when it can't be had.
// Names of 4 or more characters live in the platform's device namespace, shorter ones are
// opened as they stand.
os_port* os_port_open(const char* name);

// Why an open found no port. GONE: the device is not there (no device node, or the system
// says that no device is behind it). REFUSED: the port is there but can't be had now (held by
// another program, out of descriptors, no permission): that says nothing about the unit.
enum os_open_failure { OS_OPEN_GONE, OS_OPEN_REFUSED };
// As os_port_open; on failure `why` and the system's words for it in `reason`.
os_port* os_port_open_checked(const char* name, os_open_failure& why, std::string& reason);

bool os_port_read_state(os_port* port);                 // fetch the port's current line state
// That state at `baud`, 8N1, binary, without software flow control or byte replacement.
bool os_port_apply_state(os_port* port, uint32_t baud);
bool os_port_set_timeouts(os_port* port);               // the read and write time-outs above
bool os_port_set_mask(os_port* port);                   // event mask: a character received

// Bytes read (0 to n) within the read time-outs, or -1 when the read call failed; a failed
// read (a line that is gone) still takes its time-out, so reading again never spins.
long os_port_read(os_port* port, void* buffer, size_t n);
// Bytes written (0 to n) within the write time-out, or -1 when the write call failed.
long os_port_write(os_port* port, const void* buffer, size_t n);

// Each of these does nothing on a null port.
void os_port_purge(os_port* port);  // abort pending input and output, drop both buffers
void os_port_flush(os_port* port);  // wait until written bytes have left
void os_port_close(os_port* port);
// Gives the port back (claim and handle) without freeing anything: for a program that a
// signal is ending, so it does only what a signal handler may do.
void os_port_abandon(os_port* port);

enum os_list_result { OS_LIST_NO_KEY, OS_LIST_NO_INFO, OS_LIST_OK };

// The system's list of serial ports, in list order. `value_count` counts every entry of the
// list; `names` holds the readable ones, so it may be shorter.
os_list_result os_list_ports(std::vector<std::string>& names, int& value_count);

void os_sleep_ms(int ms);
