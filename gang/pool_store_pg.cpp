// The address pool on PostgreSQL, through libpq. Every libpq call of the program is here.
//
// The layout (gang/pool_schema.sql, built in) lives in the schema pelmo4rix: the ranges, one
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
#include <libpq-fe.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <random>
#include <thread>

#include "gang/pool_store.h"
#include "gang/pq_library.h"

extern const char pool_schema_sql[];  // gang/pool_schema.sql

struct pool_store {
    PGconn* conn;
    std::string server;
    std::string sqlstate;  // of the last failed statement
};

namespace {

constexpr int SCHEMA_VERSION = 3;
constexpr char CONNECT_TIMEOUT_S[] = "5";  // unless the URL sets its own: a host that never answers
constexpr int TRANSACTION_TRIES = 5;      // a serialization failure or deadlock: the server asks to try again
constexpr int RETRY_PAUSE_MS = 20;        // times the try, so that the other transaction gets ahead
constexpr int RENEW_MOST_MS = 5000;       // a lease is renewed at least this often
constexpr int RENEWALS_PER_LEASE = 4;     // and several times within its length
constexpr int KEEPER_RETRY_MS = 1000;     // a keeper without its server tries again this often
constexpr char SECTION_MARK[] = "-- layout ";

void ignore_notice(void*, const char*) {}

// The URL's keywords that name a file of the TLS connection (see pq_file_path).
bool names_tls_file(const char* keyword)
{
    for (const char* file : {"sslrootcert", "sslcrl", "sslcrldir", "sslcert", "sslkey"})
        if (strcmp(keyword, file) == 0)
            return true;
    return false;
}

// The URL (a URI or a connection string) as a connection string with our connect timeout
// unless it names one, so that connecting and asking whether the server answers both give up
// in time, and its TLS files where this system keeps them. false when libpq can't read the URL.
bool with_timeout(const std::string& url, std::string& conninfo)
{
    PQconninfoOption* options = PQconninfoParse(url.c_str(), nullptr);
    if (!options)
        return false;
    bool timeout = false;
    conninfo.clear();
    for (const PQconninfoOption* o = options; o->keyword; o++) {
        if (!o->val)
            continue;
        timeout = timeout || strcmp(o->keyword, "connect_timeout") == 0;
        std::string given = names_tls_file(o->keyword) ? pq_file_path(o->val) : o->val;
        std::string value;
        for (char c : given)
            value += c == '\\' || c == '\'' ? std::string("\\") + c : std::string(1, c);
        conninfo += std::string(o->keyword) + "='" + value + "' ";
    }
    PQconninfoFree(options);
    if (!timeout)
        conninfo += std::string("connect_timeout=") + CONNECT_TIMEOUT_S;
    return true;
}

// The first line of a libpq message, without its "ERROR:" or "FATAL:" head.
std::string first_line(const char* text)
{
    std::string line = text ? text : "";
    size_t end = line.find('\n');
    if (end != std::string::npos)
        line.resize(end);
    for (const char* head : {"ERROR:  ", "FATAL:  "}) {
        size_t at = line.find(head);
        if (at != std::string::npos)
            line.erase(at, strlen(head));
    }
    return line;
}

// What to tell the engineer when the connection failed over the server's certificate (none
// to check it with, or not trusted), from libpq's `message`; empty for any other failure.
std::string certificate_problem(const std::string& message)
{
    auto says = [&message](const char* text) { return message.find(text) != std::string::npos; };
    if (says("root certificate file"))
        return "no root certificate was found to check its certificate with (" + message +
               "); name one with sslrootcert=FILE in the URL";
    if (says("certificate verify failed") || says("does not match host name"))
        return "the server's certificate was not trusted (" + message +
               "); sslrootcert must name the root certificate that signed it, for the host named in the URL";
    return "";
}

std::string name_of(PGconn* conn)
{
    const char* host = PQhost(conn);
    const char* port = PQport(conn);
    const char* db = PQdb(conn);
    std::string name = host && *host ? host : "localhost";
    return name + ":" + (port && *port ? port : "5432") + "/" + (db ? db : "");
}

bool connection_lost(const pool_store* store, const char* sqlstate)
{
    if (PQstatus(store->conn) != CONNECTION_OK)
        return true;
    // 08: connection exceptions; 57P: the server shutting down or restarting.
    return sqlstate && (strncmp(sqlstate, "08", 2) == 0 || strncmp(sqlstate, "57P", 3) == 0);
}

// Classifies a failed result into `error`, with `what` in front of the server's message.
int failed(pool_store* store, PGresult* res, const std::string& what, pool_error& error)
{
    const char* sqlstate = res ? PQresultErrorField(res, PG_DIAG_SQLSTATE) : nullptr;
    store->sqlstate = sqlstate ? sqlstate : "";
    std::string message = first_line(res ? PQresultErrorMessage(res) : PQerrorMessage(store->conn));
    if (message.empty())
        message = first_line(PQerrorMessage(store->conn));
    if (connection_lost(store, sqlstate))
        error.problem = POOL_AWAY;
    else if (sqlstate && (strcmp(sqlstate, "42P01") == 0 || strcmp(sqlstate, "3F000") == 0))
        error.problem = POOL_REFUSED, message = "no pool is set up there (pelmo4rix pool init makes one)";
    else if (sqlstate && strcmp(sqlstate, "42501") == 0)
        error.problem = POOL_REFUSED;  // insufficient privilege
    else if (sqlstate && (strcmp(sqlstate, "23P01") == 0 || strcmp(sqlstate, "23505") == 0 ||
                          strcmp(sqlstate, "23514") == 0))
        error.problem = POOL_CONFLICT;
    else if (sqlstate && strncmp(sqlstate, "22", 2) == 0)
        error.problem = POOL_BAD_INPUT;
    else
        error.problem = POOL_REFUSED;
    error.message = what + " at " + store->server + ": " + message;
    if (res)
        PQclear(res);
    return 0;
}

// Runs `sql` with text parameters; the result when it has the status wanted, else nullptr
// with `error` filled (the result cleared).
PGresult* run(pool_store* store, const char* sql, const std::vector<std::string>& params, const std::string& what,
              pool_error& error)
{
    std::vector<const char*> values;
    for (const std::string& p : params)
        values.push_back(p.c_str());
    PGresult* res = PQexecParams(store->conn, sql, static_cast<int>(values.size()), nullptr, values.data(), nullptr,
                                 nullptr, 0);
    ExecStatusType status = res ? PQresultStatus(res) : PGRES_FATAL_ERROR;
    if (status == PGRES_COMMAND_OK || status == PGRES_TUPLES_OK)
        return res;
    failed(store, res, what, error);
    return nullptr;
}

int run_command(pool_store* store, const char* sql, const std::vector<std::string>& params, const std::string& what,
                pool_error& error)
{
    PGresult* res = run(store, sql, params, what, error);
    if (!res)
        return 0;
    PQclear(res);
    return 1;
}

int64_t number(PGresult* res, int row, int column)
{
    return PQgetisnull(res, row, column) ? -1 : strtoll(PQgetvalue(res, row, column), nullptr, 10);
}

std::string text(PGresult* res, int row, int column) { return PQgetvalue(res, row, column); }

// The transaction is ended by the server when the connection broke; otherwise rolled back.
void roll_back(pool_store* store)
{
    if (PQstatus(store->conn) == CONNECTION_OK)
        PQclear(PQexec(store->conn, "ROLLBACK"));
}


bool asks_to_retry(const pool_store* store)
{
    return store->sqlstate == "40001" || store->sqlstate == "40P01";
}

// A fresh connection on the same server, after one was lost.
int reconnect(pool_store* store)
{
    PQreset(store->conn);
    return PQstatus(store->conn) == CONNECTION_OK;
}

// `sql` alone in a READ COMMITTED transaction (set here, whatever the database's default),
// tried again while the server reports a serialization failure or a deadlock, and once more
// on a new connection when the connection was lost (ended by the server, a time-out, a
// pooler); its result once committed, else nullptr with `error`. Every call is safe to
// repeat: a lost answer to a COMMIT that took a reservation is resolved by the server
// handing that reservation to its instance again, a record sent twice changes nothing.
PGresult* in_transaction(pool_store* store, const char* sql, const std::vector<std::string>& params,
                         const std::string& what, pool_error& error)
{
    bool reconnected = false;
    for (int tries = 1;; tries++) {
        PGresult* res = nullptr;
        if (run_command(store, "BEGIN ISOLATION LEVEL READ COMMITTED", {}, what, error) &&
            (res = run(store, sql, params, what, error)) != nullptr &&
            run_command(store, "COMMIT", {}, what, error))
            return res;
        if (res)
            PQclear(res);
        roll_back(store);
        if (error.problem == POOL_AWAY && !reconnected) {
            reconnected = true;
            if (reconnect(store))
                continue;
        }
        if (!asks_to_retry(store) || tries >= TRANSACTION_TRIES)
            return nullptr;
        std::this_thread::sleep_for(std::chrono::milliseconds(RETRY_PAUSE_MS * tries));
    }
}

// The layout's version: 0 when there is none yet.
int layout_version(pool_store* store, int64_t& version, pool_error& error)
{
    // The table's name is resolved when a statement is parsed: asked first whether it exists.
    PGresult* res = run(store, "SELECT to_regclass('pelmo4rix.schema_version') IS NOT NULL", {}, "reading the pool", error);
    if (!res)
        return 0;
    const bool exists = text(res, 0, 0) == "t";
    PQclear(res);
    version = 0;
    if (!exists || !(res = run(store, "SELECT max(version) FROM pelmo4rix.schema_version", {}, "reading the pool", error)))
        return !exists;
    version = number(res, 0, 0);
    PQclear(res);
    return 1;
}

int check_version(pool_store* store, pool_error& error)
{
    int64_t version = 0;
    if (!layout_version(store, version, error))
        return 0;
    if (version == SCHEMA_VERSION)
        return 1;
    error.problem = POOL_REFUSED;
    if (version == 0)
        error.message = "reading the pool at " + store->server + ": no pool is set up there (pelmo4rix pool init makes one)";
    else
        error.message = "the pool at " + store->server + " has layout version " + std::to_string(version) +
                        "; this program knows version " + std::to_string(SCHEMA_VERSION) +
                        (version < SCHEMA_VERSION ? " (pelmo4rix pool init brings it up to date)" : "");
    return 0;
}

// The sections of the layout above `version`, in order, as one text. A section starts at a
// line that begins with SECTION_MARK and its number.
std::string layout_steps_after(int64_t version)
{
    const std::string text = pool_schema_sql, mark = std::string("\n") + SECTION_MARK;
    std::string steps;
    for (size_t at = text.find(mark); at != std::string::npos;) {
        const size_t next = text.find(mark, at + 1);
        if (atoll(text.c_str() + at + mark.size()) > version)
            steps += text.substr(at, (next == std::string::npos ? text.size() : next) - at);
        at = next;
    }
    return steps;
}

// Runs the layout's sections above the version found, within the caller's transaction.
int bring_layout_up_to_date(pool_store* store, pool_error& error)
{
    const std::string what = "setting up the pool";
    int64_t version = 0;
    // One init at a time; the lock ends with the transaction.
    if (!run_command(store, "SELECT pg_advisory_xact_lock(hashtext('pelmo4rix pool init'))", {}, what, error) ||
        !layout_version(store, version, error))
        return 0;
    if (version > SCHEMA_VERSION) {
        error.problem = POOL_REFUSED;
        error.message = "the pool at " + store->server + " has layout version " + std::to_string(version) +
                        ", newer than this program's " + std::to_string(SCHEMA_VERSION) + ": it is left as it is";
        return 0;
    }
    const std::string steps = layout_steps_after(version);
    if (steps.empty())
        return 1;
    PGresult* res = PQexec(store->conn, steps.c_str());  // several statements: no parameters
    if (!res || PQresultStatus(res) != PGRES_COMMAND_OK)
        return failed(store, res, what, error);
    PQclear(res);
    return 1;
}

std::string array_of(const std::vector<int64_t>& numbers)
{
    std::string list = "{";
    for (int64_t n : numbers)
        list += (list.size() > 1 ? "," : "") + std::to_string(n);
    return list + "}";
}

}  // namespace

bool pool_supported()
{
    std::string missing;
    return pq_library_loaded(missing);
}

pool_store* pool_open(const std::string& url, bool for_setup, pool_error& error)
{
    // Before any other libpq call: on Windows the library is loaded here.
    std::string missing;
    if (!pq_library_loaded(missing)) {
        error = {POOL_NO_SUPPORT, missing};
        return nullptr;
    }
    std::string conninfo;
    if (!with_timeout(url, conninfo)) {
        error = {POOL_BAD_INPUT, "the pool's URL can't be read: give a connection string or a postgresql:// URI"};
        return nullptr;
    }
    PGconn* conn = PQconnectdb(conninfo.c_str());
    if (!conn) {
        error = {POOL_AWAY, "out of memory connecting to the pool"};
        return nullptr;
    }
    std::string server = name_of(conn);
    if (PQstatus(conn) != CONNECTION_OK) {
        std::string message = first_line(PQerrorMessage(conn));
        std::string certificate = certificate_problem(message);
        if (!certificate.empty()) {
            error = {POOL_REFUSED, "the pool server " + server + " was not used: " + certificate};
            PQfinish(conn);
            return nullptr;
        }
        // A server that answers but refuses (password, role, database) is no passing fault.
        bool answers = PQconnectionNeedsPassword(conn) || PQping(conninfo.c_str()) == PQPING_OK;
        error.problem = answers ? POOL_REFUSED : POOL_AWAY;
        error.message = "the pool server " + server + (answers ? " refused the connection: " : " can't be reached: ") +
                        (PQconnectionNeedsPassword(conn) ? "it wants a password" : message);
        PQfinish(conn);
        return nullptr;
    }
    PQsetNoticeProcessor(conn, ignore_notice, nullptr);
    pool_store* store = new pool_store{conn, server, ""};
    if (!for_setup && !check_version(store, error)) {
        pool_close(store);
        return nullptr;
    }
    return store;
}

void pool_close(pool_store* store)
{
    if (!store)
        return;
    PQfinish(store->conn);
    delete store;
}

std::string pool_server(const pool_store* store) { return store->server; }

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
    PGresult* res = in_transaction(store, "SELECT adopted, doubted, lease FROM pelmo4rix.renew($1, $2)",
                                   {instance.id, instance.station}, "renewing the station's lease", error);
    if (!res)
        return 0;
    out.adopted = static_cast<int>(number(res, 0, 0));
    out.doubted = static_cast<int>(number(res, 0, 1));
    out.lease_seconds = static_cast<int>(number(res, 0, 2));
    PQclear(res);
    return 1;
}

int pool_reserve(pool_store* store, const pool_instance& instance, const std::vector<int64_t>& known,
                 pool_reservation& out, pool_error& error)
{
    const char* sql = "SELECT taken_address, taken_reservation, addresses_left FROM pelmo4rix.reserve($1, $2, $3::bigint[])";
    const std::vector<std::string> params = {instance.id, instance.station, array_of(known)};
    PGresult* res = in_transaction(store, sql, params, "reserving an address", error);
    if (!res)
        return 0;
    out.address = number(res, 0, 0);
    out.id = number(res, 0, 1);
    out.left = number(res, 0, 2);
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
    PGresult* res = in_transaction(store, sql, params, "keeping a unit's address", error);
    if (!res)
        return 0;
    reservation = number(res, 0, 0);
    refusal = text(res, 0, 1);
    PQclear(res);
    return reservation > 0;
}

int pool_note_phase(pool_store* store, const pool_instance& instance, int64_t reservation, const std::string& phase,
                    pool_error& error)
{
    PGresult* res = in_transaction(store, "SELECT pelmo4rix.note_phase($1, $2::bigint, $3)",
                                   {instance.id, std::to_string(reservation), phase}, "noting a unit's phase", error);
    if (res)
        PQclear(res);
    return res != nullptr;
}

int pool_end_instance(pool_store* store, const pool_instance& instance, int& doubted, pool_error& error)
{
    PGresult* res = in_transaction(store, "SELECT pelmo4rix.end_instance($1)", {instance.id},
                                   "ending the station's lease", error);
    if (!res)
        return 0;
    doubted = static_cast<int>(number(res, 0, 0));
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
    PGresult* res = in_transaction(store, sql, params, "storing the record", error);
    if (!res)
        return 0;
    bool done = text(res, 0, 0) == "t";  // now, or by an earlier sending
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
    if (!run_command(store, "BEGIN ISOLATION LEVEL READ COMMITTED", {}, what, error))
        return 0;
    if (!bring_layout_up_to_date(store, error) ||
        (first >= 0 && !run_command(store, "INSERT INTO pelmo4rix.ranges (first, last, next) VALUES ($1, $2, $1)",
                                    {std::to_string(first), std::to_string(last)}, "adding the range", error)) ||
        (lease_seconds > 0 && !run_command(store, "UPDATE pelmo4rix.settings SET lease_seconds = $1",
                                           {std::to_string(lease_seconds)}, "setting the lease", error))) {
        roll_back(store);
        if (error.problem == POOL_CONFLICT)
            error.message = "the range overlaps a range of the pool at " + store->server;
        return 0;
    }
    return run_command(store, "COMMIT", {}, what, error);
}

int pool_count(pool_store* store, pool_counts& out, pool_error& error)
{
    PGresult* res = in_transaction(store,
                                   "SELECT (SELECT count(*) FROM pelmo4rix.ranges),"
                                   " (SELECT coalesce(sum(last - next + 1), 0) FROM pelmo4rix.ranges),"
                                   " count(*) FILTER (WHERE state = 'in_progress'),"
                                   " count(*) FILTER (WHERE state = 'good'),"
                                   " count(*) FILTER (WHERE state = 'given_back'),"
                                   " count(*) FILTER (WHERE state = 'in_doubt') FROM pelmo4rix.address_states",
                                   {}, "reading the pool", error);
    if (!res)
        return 0;
    out.ranges = static_cast<int>(number(res, 0, 0));
    out.in_progress = number(res, 0, 2);
    out.good = number(res, 0, 3);
    out.given_back = number(res, 0, 4);
    out.in_doubt = number(res, 0, 5);
    out.free = number(res, 0, 1) + out.given_back;
    PQclear(res);
    // The range in use: the first with addresses left, else the last one.
    res = run(store,
              "SELECT first, last, CASE WHEN next <= last THEN next END FROM pelmo4rix.ranges"
              " ORDER BY next > last, CASE WHEN next <= last THEN id ELSE -id END LIMIT 1",
              {}, "reading the pool", error);
    if (!res)
        return 0;
    if (PQntuples(res) == 1) {
        out.first = number(res, 0, 0);
        out.last = number(res, 0, 1);
        out.next = number(res, 0, 2);
    }
    PQclear(res);
    return 1;
}

int pool_doubts(pool_store* store, std::vector<pool_doubt>& out, pool_error& error)
{
    PGresult* res = in_transaction(store,
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
        d.address = number(res, row, 0);
        d.station = text(res, row, 1);
        d.instance = text(res, row, 2);
        d.reserved = text(res, row, 3);
        d.phase = text(res, row, 4);
        d.result = text(res, row, 5);
        d.error_code = static_cast<int>(number(res, row, 6));
        d.port = text(res, row, 7);
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
    if (!run_command(store, "BEGIN ISOLATION LEVEL READ COMMITTED", {}, what, error))
        return 0;
    PGresult* res = nullptr;
    if (run_command(store, "SET LOCAL TIME ZONE 'UTC'", {}, what, error))
        res = run(store,
                  "SELECT to_char(time AT TIME ZONE 'UTC', 'YYYY-MM-DD\"T\"HH24:MI:SS\"Z\"'), port, address,"
                  " image_version, image_checksum, result, error_code, attempts, seconds, station, reservation"
                  " FROM pelmo4rix.records WHERE NULLIF($1, '')::timestamptz IS NULL OR time >= NULLIF($1, '')::timestamptz"
                  " ORDER BY time, reservation",
                  {since}, what, error);
    roll_back(store);  // it only read
    if (!res)
        return 0;
    for (int row = 0; row < PQntuples(res); row++) {
        pool_record r;
        r.time = text(res, row, 0);
        r.port = text(res, row, 1);
        r.address = number(res, row, 2);
        r.image_version = text(res, row, 3);
        r.image_checksum = text(res, row, 4);
        r.kept = text(res, row, 5) == "kept";
        r.good = r.kept || text(res, row, 5) == "good";
        r.error_code = static_cast<int>(number(res, row, 6));
        r.attempts = static_cast<int>(number(res, row, 7));
        r.seconds = strtod(PQgetvalue(res, row, 8), nullptr);
        r.station = text(res, row, 9);
        r.reservation = number(res, row, 10);
        out.push_back(r);
    }
    PQclear(res);
    return 1;
}

int pool_release(pool_store* store, int64_t address, pool_error& error)
{
    PGresult* res = in_transaction(store, "SELECT pelmo4rix.release($1::bigint)", {std::to_string(address)},
                                   "releasing the address", error);
    if (!res)
        return 0;
    const std::string why = text(res, 0, 0);
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
