// The shared address pool on a database server: one range of Bluetooth addresses that many
// stations draw from, and the production record beside it. The rest of the program asks
// "reserve an address", "finish this reservation with this record"; it never sees the
// server's language or its connection. One implementation per build: pool_store_pg.cpp
// with pg_session.cpp (the server's client library), pool_store_none.cpp (a build without it).
//
// An address is a 48-bit number, NAP in the top 16 bits, then the UAP, then the 24-bit LAP.
//
// What the server guarantees (not the callers' care): an address is handed out by a
// committed transaction that creates its one row, keyed by the address, so two stations can
// never hold the same one; each row has one state (in progress, good, given back, in doubt)
// and every change of state is one committed transaction; the record of a unit is stored
// in the same transaction that marks its address good or gives it back, at most once per
// reservation, and no two good records can ever name one address. A reservation belongs to
// a station instance (a gang or `flash --pool` while it runs, by an id it makes at start)
// that renews its lease on the server's clock; it is in doubt only once that lease has
// expired or the instance ended without a result for it.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

// The address of bt_address-ordered bytes (LAP low byte first, then UAP, then NAP) and back.
inline int64_t address_number(const uint8_t a[6])
{
    return int64_t(a[5]) << 40 | int64_t(a[4]) << 32 | int64_t(a[3]) << 24 | a[2] << 16 | a[1] << 8 | a[0];
}
inline void address_bytes(int64_t number, uint8_t a[6])
{
    for (int i = 0; i < 6; i++)
        a[i] = static_cast<uint8_t>(number >> (8 * i));
}

struct pool_store;  // an open connection to the pool's database

// What went wrong, and so what the caller may do about it.
enum pool_problem {
    POOL_FINE,
    POOL_AWAY,       // the server can't be reached or the connection broke: try again later
    POOL_REFUSED,    // login or database refused, no rights, or no pool set up there
    POOL_USED_UP,    // the range has no address left
    POOL_CONFLICT,   // the request contradicts what the pool holds (an overlapping range, ...)
    POOL_BAD_INPUT,  // a value the server did not take (a time, ...)
    POOL_NO_SUPPORT, // this build has no pool support
};

struct pool_error {
    pool_problem problem = POOL_FINE;
    std::string message;  // one line for a person; names the server, never a password
};

// False in a build without the database client library, or when it is not found (on Windows).
bool pool_supported();

// Connects to the pool named by `url` (a connection string or URI, with the client
// library's own ways to a password: the URL, a password file, a service file) and checks
// that it holds a pool of a version this program knows; with `for_setup` only connects.
// nullptr with `error` when not.
pool_store* pool_open(const std::string& url, bool for_setup, pool_error& error);
void pool_close(pool_store* store);
// The server as host:port/dbname, for messages.
std::string pool_server(const pool_store* store);

// A running station: the lease and its reservations are this instance's.
struct pool_instance {
    std::string id;       // random, made at start
    std::string station;  // the station's name
};

struct pool_reservation {
    int64_t id = 0;       // names this reservation in pool_finish
    int64_t address = 0;
    int64_t left = 0;     // addresses that can still be handed out after this one
};
// Reserves the next address for a unit of `station`: one given back first, else the next
// never handed out. Committed before it returns 1.
// With the instance's lease renewed first. `known` are the instance's reservations in
// progress that the caller knows of: one it does not know (the answer to a commit was lost
// with the connection) is handed out again, to this instance only.
int pool_reserve(pool_store* store, const pool_instance& instance, const std::vector<int64_t>& known,
                 pool_reservation& out, pool_error& error);

// Takes `address` over for a unit of `instance` back for re-work that holds it, when the pool
// handed it to that one unit only: 1 with `reservation` for its record (its result `kept`),
// committed before it returns; 0 with the server's `refusal` when it may not be kept (or with
// `error`, `refusal` empty). The server decides, so two stations never keep one address.
int pool_keep(pool_store* store, const pool_instance& instance, int64_t address, int64_t& reservation,
              std::string& refusal, pool_error& error);

// A new instance of `station`, with a random id, not yet known to the server.
pool_instance pool_new_instance(const std::string& station);
struct pool_renewal {
    int adopted = 0;       // reservations of the instance still in progress: its own again
    int doubted = 0;       // those that turned in doubt now: the lease had expired
    int lease_seconds = 0; // the pool's lease
};
// Renews the instance's lease (its first call starts it). Also after a new connection.
int pool_renew(pool_store* store, const pool_instance& instance, pool_renewal& out, pool_error& error);
// The phase its station last saw of the unit with `reservation` ("written": the information
// sector was sent), for the engineer who looks for the unit of an address in doubt.
int pool_note_phase(pool_store* store, const pool_instance& instance, int64_t reservation, const std::string& phase,
                    pool_error& error);
// The instance ends: what it still holds is in doubt; `doubted` says how many.
int pool_end_instance(pool_store* store, const pool_instance& instance, int& doubted, pool_error& error);
// How often to renew a lease of `lease_seconds`: several times within it, at most every 5 s.
int pool_renew_interval_ms(int lease_seconds);

// A thread that renews the instance's lease on a connection of its own, for a program that
// blocks while it programs a unit (flash --pool); it reconnects by itself. Stopping it ends
// nothing on the server.
struct pool_lease_keeper;
pool_lease_keeper* pool_keep_lease(const std::string& url, const pool_instance& instance, int lease_seconds);
void pool_stop_keeper(pool_lease_keeper* keeper);

enum pool_outcome {
    POOL_GOOD,       // the unit holds the address: the address is good
    POOL_GIVE_BACK,  // the unit did not take it: the next unit of any station gets it first
    POOL_IN_DOUBT,   // the unit may hold it: never handed out again until released
};
// A unit's line of the production record.
struct pool_record {
    int64_t reservation = 0;
    std::string time;  // UTC, 2026-12-10T11:52:54Z
    std::string port;
    int64_t address = 0;
    std::string image_version, image_checksum;
    bool good = false;
    bool kept = false;  // good with the address its unit held already (the result `kept`)
    int error_code = 0;
    int attempts = 0;
    double seconds = 0;
    std::string station;
};
// Stores `record` and moves its reservation's address to `outcome`, in one transaction.
// Sending the same reservation again changes nothing and succeeds.
int pool_finish(pool_store* store, const pool_record& record, pool_outcome outcome, pool_error& error);

// Creates what the pool needs, or brings an older layout up to this program's (all in one
// transaction, every row kept; the layout's version is read before anything is created),
// then adds the range first..last (when `first` >= 0), which may only vary the LAP and must
// not overlap another range, and sets the lease's length (when `lease_seconds` > 0).
int pool_setup(pool_store* store, int64_t first, int64_t last, int lease_seconds, pool_error& error);

struct pool_counts {
    int64_t first = -1, last = -1;  // the range in use (the first with addresses left)
    int64_t next = -1;              // the next address never handed out; -1 when none is left
    int ranges = 0;
    int64_t free = 0, in_progress = 0, good = 0, given_back = 0, in_doubt = 0;
};
int pool_count(pool_store* store, pool_counts& out, pool_error& error);

// The production record from `since` on (empty: all of it), oldest first.
int pool_records(pool_store* store, const std::string& since, std::vector<pool_record>& out, pool_error& error);

// An address in doubt, with what is known of its unit.
struct pool_doubt {
    int64_t address = 0;
    std::string station, instance, reserved;  // reserved: UTC, as pool_record::time
    std::string phase;                         // the last its station reported; empty: unknown
    std::string result;                        // its record's result, empty when none
    int error_code = 0;
    std::string port;
};
int pool_doubts(pool_store* store, std::vector<pool_doubt>& out, pool_error& error);

// The newest image version recorded good (or kept) for an address from `first` to `last` (-1:
// every address of the pool), each part of a version compared as a number; empty when no
// such record names a version. The stations may read no record: the server answers this.
int pool_newest_good_version(pool_store* store, int64_t first, int64_t last, std::string& version, pool_error& error);

// Gives an address that is in doubt back: the next unit may take it. Refused (POOL_CONFLICT,
// saying why) while the lease of the instance that reserved it lives.
int pool_release(pool_store* store, int64_t address, pool_error& error);
