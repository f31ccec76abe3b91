// The address pool in a build without the database client library: every use says so.
#include "gang/pool_store.h"

namespace {

int no_support(pool_error& error)
{
    error = {POOL_NO_SUPPORT, "this build has no pool support (--pool): use --address-file"};
    return 0;
}

}  // namespace

bool pool_supported() { return false; }

pool_store* pool_open(const std::string&, bool, pool_error& error)
{
    no_support(error);
    return nullptr;
}

void pool_close(pool_store*) {}

std::string pool_server(const pool_store*) { return ""; }

int pool_reserve(pool_store*, const std::string&, pool_reservation&, pool_error& error) { return no_support(error); }

int pool_hold(pool_store*, const std::vector<int64_t>&, pool_error& error) { return no_support(error); }

int pool_finish(pool_store*, const pool_record&, pool_outcome, pool_error& error) { return no_support(error); }

int pool_add_range(pool_store*, int64_t, int64_t, pool_error& error) { return no_support(error); }

int pool_count(pool_store*, pool_counts&, pool_error& error) { return no_support(error); }

int pool_records(pool_store*, const std::string&, std::vector<pool_record>&, pool_error& error)
{
    return no_support(error);
}

int pool_release(pool_store*, int64_t, pool_error& error) { return no_support(error); }
