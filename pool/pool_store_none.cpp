// The address pool in a build without the database client library: every use says so.
#include "pool/pool_store.h"

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

pool_instance pool_new_instance(const std::string& station) { return {"", station}; }

int pool_renew_interval_ms(int) { return 0; }

int pool_renew(pool_store*, const pool_instance&, pool_renewal&, pool_error& error) { return no_support(error); }

int pool_reserve(pool_store*, const pool_instance&, const std::vector<int64_t>&, pool_reservation&, pool_error& error)
{
    return no_support(error);
}

int pool_keep(pool_store*, const pool_instance&, int64_t, int64_t&, std::string&, pool_error& error)
{
    return no_support(error);
}

int pool_note_phase(pool_store*, const pool_instance&, int64_t, const std::string&, pool_error& error)
{
    return no_support(error);
}

int pool_end_instance(pool_store*, const pool_instance&, int&, pool_error& error) { return no_support(error); }

pool_lease_keeper* pool_keep_lease(const std::string&, const pool_instance&, int) { return nullptr; }

void pool_stop_keeper(pool_lease_keeper*) {}

int pool_doubts(pool_store*, std::vector<pool_doubt>&, pool_error& error) { return no_support(error); }

int pool_finish(pool_store*, const pool_record&, pool_outcome, pool_error& error) { return no_support(error); }

int pool_setup(pool_store*, int64_t, int64_t, int, pool_error& error) { return no_support(error); }

int pool_count(pool_store*, pool_counts&, pool_error& error) { return no_support(error); }

int pool_records(pool_store*, const std::string&, std::vector<pool_record>&, pool_error& error)
{
    return no_support(error);
}

int pool_newest_good_version(pool_store*, int64_t, int64_t, std::string&, pool_error& error)
{
    return no_support(error);
}

int pool_release(pool_store*, int64_t, pool_error& error) { return no_support(error); }
