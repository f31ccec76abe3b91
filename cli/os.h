// What the front end needs of the operating system beyond the serial port: one
// implementation per platform (os_posix.cpp, os_win32.cpp).
#pragma once

#include <cstdio>

// True when `stream` is a terminal (a console on Windows).
bool stream_is_terminal(FILE* stream);

// From now on the first Ctrl+C (or SIGTERM) is only recorded, so that the command can end
// cleanly; a second one ends the program at once.
void watch_stop_signals();

// The signal that asked the program to stop (SIGINT, SIGTERM), or 0.
int stop_signal();

// Standard output in binary mode, so that a trace written there arrives byte for byte.
void binary_standard_output();
