// The address pool on PostgreSQL, through libpq. Every libpq call of the program is here.
//
// Tables, in the schema pelmo4rix:
//   schema_version  one row: the layout's version, checked before any other use;
//   ranges          first, last and next address of each range; next only grows;
//   addresses       one row per address ever handed out, the address its primary key, with
//                   a CHECK'ed state; an address without a row is free;
//   records         one line per reservation (its primary key), the production record;
//                   a unique index over the good lines' addresses.
// Two stations never receive one address: a new address comes from the range's `next`,
// moved on under that range row's lock, and its row is inserted in the same transaction, so
// a second hand-out would break the primary key; an address given back is taken with
// FOR UPDATE SKIP LOCKED by exactly one reserving transaction. An in-progress row names the
// server process of the connection that holds it: when that connection is gone (its station
// killed, crashed, cut off) the row counts as in doubt and stays so until released.
// Parameters always travel apart from the statement; the SQLSTATE decides what an error means.
#include <libpq-fe.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "gang/pool_store.h"
#include "gang/pq_library.h"

struct pool_store {
    PGconn* conn;
    std::string server;
};

namespace {

constexpr int SCHEMA_VERSION = 1;
constexpr char CONNECT_TIMEOUT_S[] = "5";  // unless the URL sets its own: a host that never answers
constexpr int RESERVE_TRIES = 3;           // a range used up between our look and our update

const char* const SCHEMA[] = {
    "CREATE SCHEMA IF NOT EXISTS pelmo4rix",
    "CREATE TABLE IF NOT EXISTS pelmo4rix.schema_version (version integer NOT NULL)",
    "CREATE TABLE IF NOT EXISTS pelmo4rix.ranges ("
    " id serial PRIMARY KEY,"
    " first bigint NOT NULL CHECK (first BETWEEN 0 AND 281474976710655),"
    " last bigint NOT NULL CHECK (last >= first AND last >> 24 = first >> 24),"
    " next bigint NOT NULL CHECK (next BETWEEN first AND last + 1),"
    " EXCLUDE USING gist (int8range(first, last, '[]') WITH &&))",
    "CREATE SEQUENCE IF NOT EXISTS pelmo4rix.reservations",
    "CREATE TABLE IF NOT EXISTS pelmo4rix.addresses ("
    " address bigint PRIMARY KEY,"
    " state text NOT NULL CHECK (state IN ('in_progress', 'good', 'given_back', 'in_doubt')),"
    " reservation bigint NOT NULL UNIQUE,"
    " station text NOT NULL,"
    " holder integer,"
    " changed timestamptz NOT NULL DEFAULT now())",
    "CREATE INDEX IF NOT EXISTS addresses_given_back ON pelmo4rix.addresses (address) WHERE state = 'given_back'",
    "CREATE TABLE IF NOT EXISTS pelmo4rix.records ("
    " reservation bigint PRIMARY KEY,"
    " time timestamptz NOT NULL,"
    " port text NOT NULL,"
    " address bigint NOT NULL,"
    " image_version text NOT NULL,"
    " image_checksum text NOT NULL,"
    " result text NOT NULL CHECK (result IN ('good', 'failed')),"
    " error_code integer NOT NULL,"
    " attempts integer NOT NULL,"
    " seconds numeric(10, 1) NOT NULL,"
    " station text NOT NULL)",
    "CREATE UNIQUE INDEX IF NOT EXISTS records_one_good ON pelmo4rix.records (address) WHERE result = 'good'",
    "CREATE INDEX IF NOT EXISTS records_time ON pelmo4rix.records (time)",
    "INSERT INTO pelmo4rix.schema_version SELECT 1 WHERE NOT EXISTS (SELECT 1 FROM pelmo4rix.schema_version)",
};

// An in-progress row whose connection is gone.
constexpr char ABANDONED[] = "(state = 'in_progress' AND NOT EXISTS "
                             "(SELECT 1 FROM pg_stat_activity s WHERE s.pid = holder))";

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
    std::string message = first_line(res ? PQresultErrorMessage(res) : PQerrorMessage(store->conn));
    if (message.empty())
        message = first_line(PQerrorMessage(store->conn));
    if (connection_lost(store, sqlstate))
        error.problem = POOL_AWAY;
    else if (sqlstate && (strcmp(sqlstate, "42P01") == 0 || strcmp(sqlstate, "3F000") == 0))
        error.problem = POOL_REFUSED, message = "no pool is set up there (pelmo4rix pool init makes one)";
    else if (sqlstate && strcmp(sqlstate, "42501") == 0)
        error.problem = POOL_REFUSED;  // insufficient privilege
    else if (sqlstate && (strcmp(sqlstate, "23P01") == 0 || strcmp(sqlstate, "23505") == 0))
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

int check_version(pool_store* store, pool_error& error)
{
    PGresult* res = run(store, "SELECT version FROM pelmo4rix.schema_version", {}, "reading the pool", error);
    if (!res)
        return 0;
    int64_t version = PQntuples(res) == 1 ? number(res, 0, 0) : -1;
    PQclear(res);
    if (version == SCHEMA_VERSION)
        return 1;
    error.problem = POOL_REFUSED;
    error.message = "the pool at " + store->server + " has layout version " + std::to_string(version) +
                    "; this program knows version " + std::to_string(SCHEMA_VERSION);
    return 0;
}

// The address with its given-back row, or the next of a range, as one reservation.
int reserve_in_transaction(pool_store* store, const std::string& station, pool_reservation& out, pool_error& error)
{
    const std::string what = "reserving an address";
    PGresult* res = run(store,
                        "UPDATE pelmo4rix.addresses SET state = 'in_progress',"
                        " reservation = nextval('pelmo4rix.reservations'), station = $1, holder = pg_backend_pid(),"
                        " changed = now()"
                        " WHERE address = (SELECT address FROM pelmo4rix.addresses WHERE state = 'given_back'"
                        " ORDER BY address LIMIT 1 FOR UPDATE SKIP LOCKED)"
                        " RETURNING address, reservation",
                        {station}, what, error);
    if (!res)
        return 0;
    for (int tries = 0; PQntuples(res) == 0 && tries < RESERVE_TRIES; tries++) {
        PQclear(res);
        // The range row's lock orders the reservers; `next <= last` is checked again on
        // the row as the lock holder before us left it.
        res = run(store,
                  "WITH taken AS (UPDATE pelmo4rix.ranges SET next = next + 1"
                  " WHERE id = (SELECT id FROM pelmo4rix.ranges WHERE next <= last ORDER BY id LIMIT 1 FOR UPDATE)"
                  " AND next <= last RETURNING next - 1 AS address)"
                  " INSERT INTO pelmo4rix.addresses (address, state, reservation, station, holder)"
                  " SELECT address, 'in_progress', nextval('pelmo4rix.reservations'), $1, pg_backend_pid() FROM taken"
                  " RETURNING address, reservation",
                  {station}, what, error);
        if (!res)
            return 0;
        if (PQntuples(res) == 0) {
            PGresult* left = run(store, "SELECT 1 FROM pelmo4rix.ranges WHERE next <= last LIMIT 1", {}, what, error);
            if (!left) {
                PQclear(res);
                return 0;
            }
            bool none = PQntuples(left) == 0;
            PQclear(left);
            if (none)
                break;
        }
    }
    if (PQntuples(res) == 0) {
        PQclear(res);
        error.problem = POOL_USED_UP;
        error.message = "the pool at " + store->server + " has no address left";
        return 0;
    }
    out.address = number(res, 0, 0);
    out.id = number(res, 0, 1);
    PQclear(res);
    res = run(store,
              "SELECT (SELECT coalesce(sum(last - next + 1), 0) FROM pelmo4rix.ranges)"
              " + (SELECT count(*) FROM pelmo4rix.addresses WHERE state = 'given_back')",
              {}, what, error);
    if (!res)
        return 0;
    out.left = number(res, 0, 0);
    PQclear(res);
    return 1;
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
    pool_store* store = new pool_store{conn, server};
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

int pool_reserve(pool_store* store, const std::string& station, pool_reservation& out, pool_error& error)
{
    if (!run_command(store, "BEGIN", {}, "reserving an address", error))
        return 0;
    if (!reserve_in_transaction(store, station, out, error)) {
        roll_back(store);
        return 0;
    }
    return run_command(store, "COMMIT", {}, "reserving an address", error);
}

int pool_hold(pool_store* store, const std::vector<int64_t>& reservations, pool_error& error)
{
    if (reservations.empty())
        return 1;
    std::string list = "{";
    for (int64_t id : reservations)
        list += (list.size() > 1 ? "," : "") + std::to_string(id);
    return run_command(store,
                       "UPDATE pelmo4rix.addresses SET holder = pg_backend_pid()"
                       " WHERE reservation = ANY($1::bigint[]) AND state = 'in_progress'",
                       {list + "}"}, "taking the units in progress back", error);
}

int pool_finish(pool_store* store, const pool_record& r, pool_outcome outcome, pool_error& error)
{
    static const char* const STATES[] = {"good", "given_back", "in_doubt"};
    char seconds[32];
    snprintf(seconds, sizeof seconds, "%.1f", r.seconds);
    // The record goes in only while the reservation still holds its address; a second
    // sending finds the record there and the state already moved, and changes nothing.
    PGresult* res = run(
        store,
        "WITH held AS (SELECT address FROM pelmo4rix.addresses WHERE reservation = $1::bigint"
        " AND state IN ('in_progress', 'in_doubt') FOR UPDATE),"
        " rec AS (INSERT INTO pelmo4rix.records (reservation, time, port, address, image_version, image_checksum,"
        " result, error_code, attempts, seconds, station)"
        " SELECT $1::bigint, $2::timestamptz, $3, $4::bigint, $5, $6, $7, $8::integer, $9::integer, $10::numeric, $11"
        " FROM held ON CONFLICT (reservation) DO NOTHING),"
        " moved AS (UPDATE pelmo4rix.addresses a SET state = $12, changed = now() FROM held"
        " WHERE a.address = held.address RETURNING 1)"
        " SELECT (SELECT count(*) FROM moved),"
        " (SELECT count(*) FROM pelmo4rix.records WHERE reservation = $1)",
        {std::to_string(r.reservation), r.time, r.port, std::to_string(r.address), r.image_version, r.image_checksum,
         r.good ? "good" : "failed", std::to_string(r.error_code), std::to_string(r.attempts), seconds, r.station,
         STATES[outcome]},
        "storing the record", error);
    if (!res)
        return 0;
    bool done = number(res, 0, 0) == 1 || number(res, 0, 1) == 1;  // now, or by an earlier sending
    PQclear(res);
    if (done)
        return 1;
    error.problem = POOL_CONFLICT;
    error.message = "the pool at " + store->server + " no longer holds that address for this unit (released?)";
    return 0;
}

int pool_add_range(pool_store* store, int64_t first, int64_t last, pool_error& error)
{
    const std::string what = "setting up the pool";
    if (!run_command(store, "BEGIN", {}, what, error))
        return 0;
    for (const char* statement : SCHEMA)
        if (!run_command(store, statement, {}, what, error)) {
            roll_back(store);
            return 0;
        }
    if (!check_version(store, error) ||
        !run_command(store, "INSERT INTO pelmo4rix.ranges (first, last, next) VALUES ($1, $2, $1)",
                     {std::to_string(first), std::to_string(last)}, "adding the range", error)) {
        roll_back(store);
        if (error.problem == POOL_CONFLICT)
            error.message = "the range overlaps a range of the pool at " + store->server;
        return 0;
    }
    return run_command(store, "COMMIT", {}, what, error);
}

int pool_count(pool_store* store, pool_counts& out, pool_error& error)
{
    std::string sql = std::string("SELECT (SELECT count(*) FROM pelmo4rix.ranges),"
                                  " (SELECT coalesce(sum(last - next + 1), 0) FROM pelmo4rix.ranges),"
                                  " count(*) FILTER (WHERE state = 'in_progress' AND NOT ") +
                      ABANDONED +
                      "), count(*) FILTER (WHERE state = 'good'),"
                      " count(*) FILTER (WHERE state = 'given_back'),"
                      " count(*) FILTER (WHERE state = 'in_doubt' OR " +
                      ABANDONED + ") FROM pelmo4rix.addresses";
    PGresult* res = run(store, sql.c_str(), {}, "reading the pool", error);
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

int pool_records(pool_store* store, const std::string& since, std::vector<pool_record>& out, pool_error& error)
{
    PGresult* res = run(store,
                        "SELECT to_char(time AT TIME ZONE 'UTC', 'YYYY-MM-DD\"T\"HH24:MI:SS\"Z\"'), port, address,"
                        " image_version, image_checksum, result, error_code, attempts, seconds, station, reservation"
                        " FROM pelmo4rix.records WHERE NULLIF($1, '')::timestamptz IS NULL OR time >= NULLIF($1, '')::timestamptz"
                        " ORDER BY time, reservation",
                        {since}, "reading the records", error);
    if (!res)
        return 0;
    for (int row = 0; row < PQntuples(res); row++) {
        pool_record r;
        r.time = text(res, row, 0);
        r.port = text(res, row, 1);
        r.address = number(res, row, 2);
        r.image_version = text(res, row, 3);
        r.image_checksum = text(res, row, 4);
        r.good = text(res, row, 5) == "good";
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
    const std::string what = "releasing the address";
    std::string sql = std::string("UPDATE pelmo4rix.addresses SET state = 'given_back', changed = now()"
                                  " WHERE address = $1 AND (state = 'in_doubt' OR ") +
                      ABANDONED + ") RETURNING 1";
    PGresult* res = run(store, sql.c_str(), {std::to_string(address)}, what, error);
    if (!res)
        return 0;
    bool released = PQntuples(res) == 1;
    PQclear(res);
    if (released)
        return 1;
    res = run(store, "SELECT state, station FROM pelmo4rix.addresses WHERE address = $1", {std::to_string(address)},
              what, error);
    if (!res)
        return 0;
    error.problem = POOL_CONFLICT;
    if (PQntuples(res) == 0)
        error.message = "it was never handed out";
    else if (text(res, 0, 0) == "in_progress")
        error.message = "a unit at station " + text(res, 0, 1) + " is being programmed with it";
    else if (text(res, 0, 0) == "good")
        error.message = "it is good: a unit of station " + text(res, 0, 1) + " holds it";
    else
        error.message = "it is already given back";
    PQclear(res);
    return 0;
}
