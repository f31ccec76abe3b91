// The console of the device link and the device services: every message they print goes
// through console_print. The tools leave it on standard output; the scriptable front end
// points it at standard error, so that its standard output carries only results.
#pragma once

#include <cstdio>

extern FILE* console_stream;  // where console_print writes; nullptr keeps the messages back

void console_print(const char* format, ...) __attribute__((format(printf, 1, 2)));
// Shows at once what was printed without a line end (dots, a line that waits for its end).
void console_flush();
