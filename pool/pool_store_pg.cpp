// The address pool on PostgreSQL, through libpq: its changes of state (the connection, the
// statements and transactions and the layout's upgrade in pg_session.cpp).
//
// The layout (pool_schema.sql, built in) lives in the schema pelmo4rix: the ranges, one
// row per address ever handed out (its primary key the address, its state CHECK'ed), the
// production record (one line per reservation; a unique index over the good lines'
// addresses), the station instances with their leases, and the functions that make every
// change of state. The stations' role may read the tables and call the station's functions,
// nothing else; release is the engineer's.
//
// How one address stays on one unit:
// - the database hands it out once: a new address comes from its range's `next`, moved on
//   under that range row's lock, and its row is inserted in the same transaction, so a second
//   hand-out would break the primary key; an address given back is taken with FOR UPDATE
//   SKIP LOCKED by exactly one reserving transaction; nothing leaves good (a trigger);
// - a reservation names the station instance that made it, never a server process or a
//   connection: connections end (server restarts, failover, time-outs, poolers) while the
//   station goes on programming. The instance renews its lease on the server's clock, and
//   its reservations count as in doubt only once the lease has expired or it ended. An
//   instance that comes back after its lease expired finds what it held in doubt for good;
//   one that comes back in time takes its reservations back;
// - release gives back only an address in doubt, under the lock of its instance's row that
//   renewal takes too, so a lease can't be renewed between the check and the release;
// - the stations give back only an address whose information sector was never sent; any
//   other failure or stop keeps it in doubt.
// Nothing depends on session state (no advisory locks, no temporary tables, no SET outside
// a transaction), so a pooler in transaction mode may sit between. Each change is one
// function call in one READ COMMITTED transaction, set explicitly, tried again when the
// server reports a serialization failure or a deadlock. Parameters always travel apart from
// the statement; the SQLSTATE decides what an error means.
#include "pool/pg_session.h"

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <random>
#include <thread>

namespace {

constexpr int RENEW_MOST_MS = 5000;       // a lease is renewed at least this often
constexpr int RENEWALS_PER_LEASE = 4;     // and several times within its length
constexpr int KEEPER_RETRY_MS = 1000;     // a keeper without its server tries again this often

std::string array_of(const std::vector<int64_t>& numbers)
{
    std::string list = "{";
    for (int64_t n : numbers)
        list += (list.size() > 1 ? "," : "") + std::to_string(n);
    return list + "}";
}

}  // namespace

pool_instance pool_new_instance(const std::string& station)
{
    std::random_device random;
    char id[33];
    for (int i = 0; i < 4; i++)
        snprintf(id + 8 * i, 9, "%08x", static_cast<unsigned>(random()));
    return {id, station};
}

int pool_renew_interval_ms(int lease_seconds)
{
    int ms = lease_seconds * 1000 / RENEWALS_PER_LEASE;
    return ms < RENEW_MOST_MS ? ms : RENEW_MOST_MS;
}

int pool_renew(pool_store* store, const pool_instance& instance, pool_renewal& out, pool_error& error)
{
    PGresult* res = pg_transaction(store, "SELECT adopted, doubted, lease FROM pelmo4rix.renew($1, $2)",
                                   {instance.id, instance.station}, "renewing the station's lease", error);
    if (!res)
        return 0;
    out.adopted = static_cast<int>(pg_number(res, 0, 0));
    out.doubted = static_cast<int>(pg_number(res, 0, 1));
    out.lease_seconds = static_cast<int>(pg_number(res, 0, 2));
    PQclear(res);
    return 1;
}

int pool_reserve(pool_store* store, const pool_instance& instance, const std::vector<int64_t>& known,
                 pool_reservation& out, pool_error& error)
{
    const char* sql = "SELECT taken_address, taken_reservation, addresses_left FROM pelmo4rix.reserve($1, $2, $3::bigint[])";
    const std::vector<std::string> params = {instance.id, instance.station, array_of(known)};
    PGresult* res = pg_transaction(store, sql, params, "reserving an address", error);
    if (!res)
        return 0;
    out.address = pg_number(res, 0, 0);
    out.id = pg_number(res, 0, 1);
    out.left = pg_number(res, 0, 2);
    PQclear(res);
    if (out.address >= 0)
        return 1;
    error.problem = POOL_USED_UP;
    error.message = "the pool at " + store->server + " has no address left";
    return 0;
}

int pool_keep(pool_store* store, const pool_instance& instance, int64_t address, int64_t& reservation,
              std::string& refusal, pool_error& error)
{
    const char* sql = "SELECT kept_reservation, refusal FROM pelmo4rix.keep($1, $2, $3::bigint)";
    const std::vector<std::string> params = {instance.id, instance.station, std::to_string(address)};
    PGresult* res = pg_transaction(store, sql, params, "keeping a unit's address", error);
    if (!res)
        return 0;
    reservation = pg_number(res, 0, 0);
    refusal = pg_text(res, 0, 1);
    PQclear(res);
    return reservation > 0;
}

int pool_note_phase(pool_store* store, const pool_instance& instance, int64_t reservation, const std::string& phase,
                    pool_error& error)
{
    PGresult* res = pg_transaction(store, "SELECT pelmo4rix.note_phase($1, $2::bigint, $3)",
                                   {instance.id, std::to_string(reservation), phase}, "noting a unit's phase", error);
    if (res)
        PQclear(res);
    return res != nullptr;
}

int pool_end_instance(pool_store* store, const pool_instance& instance, int& doubted, pool_error& error)
{
    PGresult* res = pg_transaction(store, "SELECT pelmo4rix.end_instance($1)", {instance.id},
                                   "ending the station's lease", error);
    if (!res)
        return 0;
    doubted = static_cast<int>(pg_number(res, 0, 0));
    PQclear(res);
    return 1;
}

int pool_finish(pool_store* store, const pool_record& r, pool_outcome outcome, pool_error& error)
{
    static const char* const STATES[] = {"good", "given_back", "in_doubt"};
    char seconds[32];
    snprintf(seconds, sizeof seconds, "%.1f", r.seconds);
    const char* sql = "SELECT pelmo4rix.finish($1::bigint, $2::timestamptz, $3, $4, $5, $6::boolean, $7::integer,"
                      " $8::integer, $9::numeric, $10, $11)";
    const std::vector<std::string> params = {std::to_string(r.reservation), r.time, r.port, r.image_version,
                                             r.image_checksum, r.good ? "true" : "false", std::to_string(r.error_code),
                                             std::to_string(r.attempts), seconds, r.station, STATES[outcome]};
    PGresult* res = pg_transaction(store, sql, params, "storing the record", error);
    if (!res)
        return 0;
    bool done = pg_text(res, 0, 0) == "t";  // now, or by an earlier sending
    PQclear(res);
    if (done)
        return 1;
    error.problem = POOL_CONFLICT;
    error.message = "the pool at " + store->server + " no longer holds that address for this unit (released?)";
    return 0;
}

int pool_setup(pool_store* store, int64_t first, int64_t last, int lease_seconds, pool_error& error)
{
    const std::string what = "setting up the pool";
    if (!pg_command(store, "BEGIN ISOLATION LEVEL READ COMMITTED", {}, what, error))
        return 0;
    if (!pg_upgrade_layout(store, error) ||
        (first >= 0 && !pg_command(store, "INSERT INTO pelmo4rix.ranges (first, last, next) VALUES ($1, $2, $1)",
                                   {std::to_string(first), std::to_string(last)}, "adding the range", error)) ||
        (lease_seconds > 0 && !pg_command(store, "UPDATE pelmo4rix.settings SET lease_seconds = $1",
                                          {std::to_string(lease_seconds)}, "setting the lease", error))) {
        pg_roll_back(store);
        if (error.problem == POOL_CONFLICT)
            error.message = "the range overlaps a range of the pool at " + store->server;
        return 0;
    }
    return pg_command(store, "COMMIT", {}, what, error);
}

int pool_count(pool_store* store, pool_counts& out, pool_error& error)
{
    PGresult* res = pg_transaction(store,
                                   "SELECT (SELECT count(*) FROM pelmo4rix.ranges),"
                                   " (SELECT coalesce(sum(last - next + 1), 0) FROM pelmo4rix.ranges),"
                                   " count(*) FILTER (WHERE state = 'in_progress'),"
                                   " count(*) FILTER (WHERE state = 'good'),"
                                   " count(*) FILTER (WHERE state = 'given_back'),"
                                   " count(*) FILTER (WHERE state = 'in_doubt') FROM pelmo4rix.address_states",
                                   {}, "reading the pool", error);
    if (!res)
        return 0;
    out.ranges = static_cast<int>(pg_number(res, 0, 0));
    out.in_progress = pg_number(res, 0, 2);
    out.good = pg_number(res, 0, 3);
    out.given_back = pg_number(res, 0, 4);
    out.in_doubt = pg_number(res, 0, 5);
    out.free = pg_number(res, 0, 1) + out.given_back;
    PQclear(res);
    // The range in use: the first with addresses left, else the last one.
    res = pg_run(store,
                 "SELECT first, last, CASE WHEN next <= last THEN next END FROM pelmo4rix.ranges"
                 " ORDER BY next > last, CASE WHEN next <= last THEN id ELSE -id END LIMIT 1",
                 {}, "reading the pool", error);
    if (!res)
        return 0;
    if (PQntuples(res) == 1) {
        out.first = pg_number(res, 0, 0);
        out.last = pg_number(res, 0, 1);
        out.next = pg_number(res, 0, 2);
    }
    PQclear(res);
    return 1;
}

int pool_doubts(pool_store* store, std::vector<pool_doubt>& out, pool_error& error)
{
    PGresult* res = pg_transaction(store,
                                   "SELECT address, station, coalesce(instance, ''),"
                                   " to_char(reserved AT TIME ZONE 'UTC', 'YYYY-MM-DD\"T\"HH24:MI:SS\"Z\"'),"
                                   " coalesce(phase, ''), coalesce(result, ''), coalesce(error_code, 0),"
                                   " coalesce(port, '')"
                                   " FROM pelmo4rix.address_states WHERE state = 'in_doubt' ORDER BY address",
                                   {}, "reading the pool", error);
    if (!res)
        return 0;
    for (int row = 0; row < PQntuples(res); row++) {
        pool_doubt d;
        d.address = pg_number(res, row, 0);
        d.station = pg_text(res, row, 1);
        d.instance = pg_text(res, row, 2);
        d.reserved = pg_text(res, row, 3);
        d.phase = pg_text(res, row, 4);
        d.result = pg_text(res, row, 5);
        d.error_code = static_cast<int>(pg_number(res, row, 6));
        d.port = pg_text(res, row, 7);
        out.push_back(d);
    }
    PQclear(res);
    return 1;
}

int pool_records(pool_store* store, const std::string& since, std::vector<pool_record>& out, pool_error& error)
{
    // A time without its own offset is UTC, as the output is: the time zone set for this
    // transaction only (SET LOCAL), so that a pooler's shared session keeps its own.
    const std::string what = "reading the records";
    if (!pg_command(store, "BEGIN ISOLATION LEVEL READ COMMITTED", {}, what, error))
        return 0;
    PGresult* res = nullptr;
    if (pg_command(store, "SET LOCAL TIME ZONE 'UTC'", {}, what, error))
        res = pg_run(store,
                     "SELECT to_char(time AT TIME ZONE 'UTC', 'YYYY-MM-DD\"T\"HH24:MI:SS\"Z\"'), port, address,"
                     " image_version, image_checksum, result, error_code, attempts, seconds, station, reservation"
                     " FROM pelmo4rix.records WHERE NULLIF($1, '')::timestamptz IS NULL OR time >= NULLIF($1, '')::timestamptz"
                     " ORDER BY time, reservation",
                     {since}, what, error);
    pg_roll_back(store);  // it only read
    if (!res)
        return 0;
    for (int row = 0; row < PQntuples(res); row++) {
        pool_record r;
        r.time = pg_text(res, row, 0);
        r.port = pg_text(res, row, 1);
        r.address = pg_number(res, row, 2);
        r.image_version = pg_text(res, row, 3);
        r.image_checksum = pg_text(res, row, 4);
        r.kept = pg_text(res, row, 5) == "kept";
        r.good = r.kept || pg_text(res, row, 5) == "good";
        r.error_code = static_cast<int>(pg_number(res, row, 6));
        r.attempts = static_cast<int>(pg_number(res, row, 7));
        r.seconds = strtod(PQgetvalue(res, row, 8), nullptr);
        r.station = pg_text(res, row, 9);
        r.reservation = pg_number(res, row, 10);
        out.push_back(r);
    }
    PQclear(res);
    return 1;
}

int pool_newest_good_version(pool_store* store, int64_t first, int64_t last, std::string& version, pool_error& error)
{
    auto bound = [](int64_t address) { return address < 0 ? std::string() : std::to_string(address); };
    PGresult* res = pg_transaction(store, "SELECT coalesce(pelmo4rix.newest_good_version(nullif($1, '')::bigint, "
                                          "nullif($2, '')::bigint), '')",
                                   {bound(first), bound(last)}, "reading the newest version recorded good", error);
    if (!res)
        return 0;
    version = pg_text(res, 0, 0);
    PQclear(res);
    return 1;
}

int pool_release(pool_store* store, int64_t address, pool_error& error)
{
    PGresult* res = pg_transaction(store, "SELECT pelmo4rix.release($1::bigint)", {std::to_string(address)},
                                   "releasing the address", error);
    if (!res)
        return 0;
    const std::string why = pg_text(res, 0, 0);
    PQclear(res);
    if (why.empty())
        return 1;
    error.problem = POOL_CONFLICT;
    error.message = why;
    return 0;
}

// --- the lease keeper ---

struct pool_lease_keeper {
    std::string url;
    pool_instance instance;
    int interval_ms;
    std::mutex lock;
    std::condition_variable wake;
    bool stopping = false;
    std::thread thread;
};

namespace {

// Renews every interval until stopped; without its server, connects again once a second.
void keep_lease(pool_lease_keeper* k)
{
    pool_store* store = nullptr;
    std::unique_lock<std::mutex> held(k->lock);
    while (!k->stopping) {
        held.unlock();
        pool_error error;
        pool_renewal renewal;
        if (!store)
            store = pool_open(k->url, false, error);
        bool renewed = store && pool_renew(store, k->instance, renewal, error);
        if (!renewed) {  // pool_renew has tried a new connection already
            pool_close(store);
            store = nullptr;
        }
        held.lock();
        k->wake.wait_for(held, std::chrono::milliseconds(renewed ? k->interval_ms : KEEPER_RETRY_MS),
                         [k] { return k->stopping; });
    }
    pool_close(store);
}

}  // namespace

pool_lease_keeper* pool_keep_lease(const std::string& url, const pool_instance& instance, int lease_seconds)
{
    pool_lease_keeper* keeper = new pool_lease_keeper;
    keeper->url = url;
    keeper->instance = instance;
    keeper->interval_ms = pool_renew_interval_ms(lease_seconds);
    keeper->thread = std::thread(keep_lease, keeper);
    return keeper;
}

void pool_stop_keeper(pool_lease_keeper* keeper)
{
    if (!keeper)
        return;
    {
        std::lock_guard<std::mutex> held(keeper->lock);
        keeper->stopping = true;
    }
    keeper->wake.notify_all();
    keeper->thread.join();
    delete keeper;
}
