// libpq on Linux: linked at build time.
#include "pool/pq_library.h"

bool pq_library_loaded(std::string&) { return true; }

std::string pq_file_path(const std::string& name) { return name; }
