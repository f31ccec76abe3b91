// What the gang's loop needs of the operating system beyond the shared processes of
// common/os.h: its stop signals, the terminal it draws on and the descriptors it may hold.
// One implementation per platform (os_posix.cpp, os_win32.cpp).
#pragma once

#include "common/os.h"

// From now on Ctrl+C and SIGTERM (a console close on Windows) are only counted.
void os_watch_stop_requests();
int os_stop_requests();

// True when standard input is a terminal (a console on Windows) where a person types keys.
bool os_keys_typed();

// True when standard output is a terminal that takes cursor movement (switched on where the
// console needs it), so that the table can be redrawn in place.
bool os_live_display();

// Raises the gang's soft limit of open descriptors to the hard limit: the limit now in force,
// or -1 where the system has none that the gang's ports, workers and page could reach.
long os_raise_descriptor_limit();
