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

// The path to give libpq for a file that the pool's URL names (sslrootcert and the other TLS
// files). On Windows a relative name is a file in the programs' own folder, so that a root
// certificate beside pelmo4rix.exe is found whatever folder the station was started in; on
// Linux the name stays as it is (relative to the current directory, as libpq takes it).
std::string pq_file_path(const std::string& name);
