// The parts of a trace file written by the trace capture tool, checked against what the
// unit sent.
#pragma once

#include <string>

extern const char TRACE_BANNER_LINE[];  // the banner line, the file's first line

// A trace file whose debug port came on: the banner line, the first read, the bytes of the
// successful try, its line, then everything logged.
struct trace_parts {
    std::string first_read, enabled_read, logged;
    bool ok = false;  // the file has that shape and the successful try's bytes begin `trace`
};

// Splits `file`; `trace` is every trace byte the unit sent.
trace_parts split_trace(const std::string& file, const std::string& trace);
