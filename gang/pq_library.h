// Whether the database client library (libpq) can be used in this process. On Linux it is
// linked at build time and always there; on Windows libpq.dll is loaded at the first use, so
// that the programs start without it and only the pool needs it. One file per platform:
// pq_library_posix.cpp, pq_library_win32.cpp (which also provides libpq's functions, each
// calling its namesake in the DLL).
#pragma once

#include <string>

// True when libpq's functions can be called; when not, `missing` says which file is missing
// and where to put it.
bool pq_library_loaded(std::string& missing);
