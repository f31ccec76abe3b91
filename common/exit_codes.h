// The exit codes of `pelmo4rix` and its gang, in one table: the front end's commands, the
// gang and the pool share them, and scripts rely on each number keeping its meaning.
#pragma once

// Exit codes. 1 to 20 are the error_code of the step that failed (the tools' numbers).
constexpr int EXIT_OK = 0;
constexpr int EXIT_USAGE = 2;          // a bad command line (2 is also error_code 2, port time-outs)
constexpr int EXIT_NO_UNIT = 21;       // no unit answered (on --port: not there)
constexpr int EXIT_NO_VERSION = 22;    // the unit's firmware did not report its version
constexpr int EXIT_READ_BACK = 23;     // a read-back of the unit's flash delivered too little
constexpr int EXIT_IMAGE_FILE = 24;    // the image file or package is refused (or does not fit the unit)
constexpr int EXIT_ADDRESS_FILE = 25;  // the address file can't be locked, read or saved
constexpr int EXIT_TRACE_FILE = 26;    // the trace file can't be created or written
constexpr int EXIT_NO_TRACE = 27;      // the unit's debug port did not come on
constexpr int EXIT_UNITS_FAILED = 28;  // one unit or more failed
constexpr int EXIT_RECORD_FILE = 29;   // the production record could not be written
constexpr int EXIT_NO_RESULT = 30;     // (a unit's error_code) its worker ended without a result
constexpr int EXIT_NO_PAGE = 31;       // the page can't be served on the address given
constexpr int EXIT_POOL_USED_UP = 32;  // the shared pool has no address left
constexpr int EXIT_POOL_SERVER = 33;   // the pool's server can't be reached, refuses, or holds no pool
constexpr int EXIT_NOT_DELIVERED = 34; // a hook or label could not be delivered (kept in the spool)
constexpr int EXIT_SIGNAL_BASE = 128;  // stopped by a signal: 130 Ctrl+C, 143 SIGTERM
