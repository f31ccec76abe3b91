// The connection to the pool's server through libpq (see pg_session.h): the URL read with
// a time-out and the TLS files where this system keeps them, errors by their SQLSTATE,
// statements with their parameters apart, transactions tried again, and the layout's
// version and its upgrade. The pool's changes of state are in pool_store_pg.cpp.
#include "pool/pg_session.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>

#include "pool/pq_library.h"

extern const char pool_schema_sql[];  // pool/pool_schema.sql

namespace {

constexpr int SCHEMA_VERSION = 4;
constexpr char CONNECT_TIMEOUT_S[] = "5";  // unless the URL sets its own: a host that never answers
constexpr int TRANSACTION_TRIES = 5;      // a serialization failure or deadlock: the server asks to try again
constexpr int RETRY_PAUSE_MS = 20;        // times the try, so that the other transaction gets ahead
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

// The layout's version: 0 when there is none yet.
int layout_version(pool_store* store, int64_t& version, pool_error& error)
{
    // The table's name is resolved when a statement is parsed: asked first whether it exists.
    PGresult* res = pg_run(store, "SELECT to_regclass('pelmo4rix.schema_version') IS NOT NULL", {}, "reading the pool", error);
    if (!res)
        return 0;
    const bool exists = pg_text(res, 0, 0) == "t";
    PQclear(res);
    version = 0;
    if (!exists || !(res = pg_run(store, "SELECT max(version) FROM pelmo4rix.schema_version", {}, "reading the pool", error)))
        return !exists;
    version = pg_number(res, 0, 0);
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

}  // namespace

PGresult* pg_run(pool_store* store, const char* sql, const std::vector<std::string>& params, const std::string& what,
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

int pg_command(pool_store* store, const char* sql, const std::vector<std::string>& params, const std::string& what,
               pool_error& error)
{
    PGresult* res = pg_run(store, sql, params, what, error);
    if (!res)
        return 0;
    PQclear(res);
    return 1;
}

int64_t pg_number(PGresult* res, int row, int column)
{
    return PQgetisnull(res, row, column) ? -1 : strtoll(PQgetvalue(res, row, column), nullptr, 10);
}

std::string pg_text(PGresult* res, int row, int column) { return PQgetvalue(res, row, column); }

void pg_roll_back(pool_store* store)
{
    if (PQstatus(store->conn) == CONNECTION_OK)
        PQclear(PQexec(store->conn, "ROLLBACK"));
}

PGresult* pg_transaction(pool_store* store, const char* sql, const std::vector<std::string>& params,
                         const std::string& what, pool_error& error)
{
    bool reconnected = false;
    for (int tries = 1;; tries++) {
        PGresult* res = nullptr;
        if (pg_command(store, "BEGIN ISOLATION LEVEL READ COMMITTED", {}, what, error) &&
            (res = pg_run(store, sql, params, what, error)) != nullptr &&
            pg_command(store, "COMMIT", {}, what, error))
            return res;
        if (res)
            PQclear(res);
        pg_roll_back(store);
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

int pg_upgrade_layout(pool_store* store, pool_error& error)
{
    const std::string what = "setting up the pool";
    int64_t version = 0;
    // One init at a time; the lock ends with the transaction.
    if (!pg_command(store, "SELECT pg_advisory_xact_lock(hashtext('pelmo4rix pool init'))", {}, what, error) ||
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

