// The pool's connection to its PostgreSQL server, for the store's functions (pool_store_pg.cpp):
// every libpq call of the program is here or there. Statements take their parameters apart
// from the SQL; the SQLSTATE of a failure decides what it means for the caller (pool_error).
#pragma once

#include <libpq-fe.h>

#include <cstdint>
#include <string>
#include <vector>

#include "pool/pool_store.h"

struct pool_store {
    PGconn* conn;
    std::string server;
    std::string sqlstate;  // of the last failed statement
};

// Runs `sql` with text parameters; the result when it has the status wanted, else nullptr
// with `error` filled (the result cleared).
PGresult* pg_run(pool_store* store, const char* sql, const std::vector<std::string>& params, const std::string& what,
                 pool_error& error);
// pg_run for a statement whose rows are not wanted; 1 when it succeeded.
int pg_command(pool_store* store, const char* sql, const std::vector<std::string>& params, const std::string& what,
               pool_error& error);
int64_t pg_number(PGresult* res, int row, int column);  // -1 for NULL
std::string pg_text(PGresult* res, int row, int column);
// The transaction is ended by the server when the connection broke; otherwise rolled back.
void pg_roll_back(pool_store* store);

// `sql` alone in a READ COMMITTED transaction (set here, whatever the database's default),
// tried again while the server reports a serialization failure or a deadlock, and once more
// on a new connection when the connection was lost (ended by the server, a time-out, a
// pooler); its result once committed, else nullptr with `error`. Every call is safe to
// repeat: a lost answer to a COMMIT that took a reservation is resolved by the server
// handing that reservation to its instance again, a record sent twice changes nothing.
PGresult* pg_transaction(pool_store* store, const char* sql, const std::vector<std::string>& params,
                         const std::string& what, pool_error& error);

// Runs the layout's sections (pool_schema.sql) above the version the server holds, within the
// caller's transaction; refused for a layout newer than this program's.
int pg_upgrade_layout(pool_store* store, pool_error& error);
