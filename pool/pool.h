// The pool: where a station's addresses come from and where its units' results go, for every
// tool that draws from a range: the gang (`pelmo4rix gang`), `pelmo4rix flash --pool` and the
// engineer's `pelmo4rix pool`. Two supplies behind one header: the address file (its lock, its
// safe rewrite and its next address are tools/address_file's, which the station uses too)
// and the shared pool on a database server (pool_store.h, one implementation per build).
//
// What it guarantees:
// - One address per unit. With the address file the file always holds an address past every
//   one handed out (it moves on before a unit gets one), so a station that dies skips
//   addresses and never repeats one; an address goes back to the next unit only when its unit
//   failed before its information sector was sent. With the shared pool every address is
//   reserved by the server, in a committed transaction, before a unit gets it.
// - A lease: a running station (an instance: a gang, or flash --pool while it runs) renews
//   its lease on the server's clock; what it holds counts as in doubt only once that lease
//   expired or the instance ended without a result for it, and an address in doubt is never
//   handed out again until the engineer releases it (`pelmo4rix pool release`).
// - The journal: a unit's result that the server can't take now is appended to the journal
//   and flushed to the disk before the unit counts as ended, and sent when the server answers;
//   a line the server refuses stays there for the engineer. One station at a time holds it.
// - A kept address (re-work with --keep-known-address): a unit back may keep the address it
//   holds only when the record (or the server) shows it was handed to that one unit only.
//   A replaced address (a unit that failed after its information sector was sent) is never
//   given to another unit: with the file it is not used again, with the pool it is in doubt.
//
// The gang and flash call it; it knows nothing of either (arrows point down: pool/ uses
// common/, image/, tools/ and link/ only).
#pragma once

#include <chrono>
#include <cstdint>
#include <set>
#include <string>

#include "pool/pool_store.h"
#include "tools/production_record.h"

using pool_clock = std::chrono::steady_clock;

constexpr char POOL_JOURNAL[] = "pool-journal.txt";  // beside the station, unless --journal
constexpr char POOL_VARIABLE[] = "PELMO4RIX_POOL";     // the pool's URL when no option names one
constexpr size_t STATION_MAX = 64;

// A station name (--station) into `station`: a plain name (common/text.h), as it names the
// station in the pool's record, the metrics, the hooks and the labels; 0 with `error` else.
int parse_station(const std::string& text, std::string& station, std::string& error);
// Whether the line may program the image in use: not when the pool has recorded a newer
// version good (a downgrade by accident), unless `allow_downgrade`, and then
// image_downgraded_from names that version for every unit's record. A raw image file's version
// is not known and not compared. 0 with `why` naming both versions, or with `error` when the
// server could not be asked.
int check_image_version(pool_store* store, bool allow_downgrade, std::string& why, pool_error& error);

// This station's name: `given` (parsed by parse_station), else the host's name when it is a
// plain name; 0 with `error` telling to give --station when it is not.
int station_name(const std::string& given, std::string& station, std::string& error);

// The exit code of a pool that can't be used: 2 in a build without pool support or for a
// request that contradicts the pool, 32 when its range is used up, 33 for its server.
int pool_exit_code(pool_problem problem);

// --- the supply of a station that runs on (the gang) ---
// Hands out the addresses of the address file, whose lock the station holds, or of the shared
// pool on a database server. With the file, lap_counter and bt_address hold the next address
// never handed out. With the shared pool, a unit's result that the server can't take now waits
// in the journal and is sent when it answers.
constexpr int POOL_LOW = 100;  // fewer addresses left than this: a warning

struct address_pool {
    std::string path;             // the address file (with the file)
    std::set<int32_t> free_laps;  // addresses of failed units, handed out again first

    std::string url;  // the shared pool; empty: the address file
    std::string station, journal;
    pool_store* store = nullptr;  // nullptr while the server is away
    std::string server;           // host:port/dbname
    pool_instance instance;       // this station's, with its lease on the server
    pool_clock::time_point next_renewal{};
    pool_renewal renewal;         // what the last renewal found
    double last_contact = 0;      // UTC seconds of the last lease renewal the server took; 0: none yet
    std::string opening_note;     // what open_pool found worth telling (a torn journal line)
    std::set<int64_t> held;       // reservations not yet finished on the server (units in progress, results in the journal)
    pool_clock::time_point next_try{};
    int64_t left = -1;            // addresses left after the last reservation
    int journal_waiting = 0;      // results in the journal not yet sent
    std::string journal_trouble;  // why a result in the journal can't be stored
    struct os_file_lock* journal_lock = nullptr;
};

// Why take_address handed nothing out.
enum take_failure { TAKE_FILE_UNSAVED, TAKE_WAIT, TAKE_USED_UP, TAKE_REFUSED };

// The address for the next unit into `address` (with the pool, `reservation` names it): the
// lowest one given back, else the next one. 0 when nothing was handed out, with `why` and a
// `message`: the file could not be saved, the server is away (try again), the range is used
// up or the server refuses.
int take_address(address_pool& pool, uint8_t address[6], int64_t& reservation, take_failure& why,
                 std::string& message);
// With --keep-known-address: 1 when `address`, held by a unit back for re-work, may stay on
// it (with the pool, `reservation` then names the unit's new record); else 0 with `why`. With
// the address file the `record` decides: the address, from the file's range below its next
// one and not given back in this run, was handed to one unit only (its first line good and no
// later good one, or its only line failed, lines of kept units aside).
int keep_address(address_pool& pool, const std::string& record, const uint8_t address[6], int64_t& reservation,
                 std::string& why);
// A unit that did not take `address`: it goes to the next unit (with the address file).
void give_back(address_pool& pool, const uint8_t address[6]);
// The end of a unit with the pool: its record and its address's outcome go to the server,
// or to the journal while it is away; 0 (with `message`) when neither took them.
int settle_in_pool(address_pool& pool, const production_entry& entry, int64_t reservation, pool_outcome outcome,
                   std::string& message);
// With the pool: connects when the server is away (at most once a second) and then sends the
// journal; 1 when connected. `message` says what happened worth telling.
int reach_pool(address_pool& pool, std::string& message);
// With the pool: renews the station's lease when it is due; `message` says what the renewal
// found worth telling (units in doubt because the lease had expired).
void keep_lease(address_pool& pool, std::string& message);
// With the pool: the unit of `reservation` may hold its address now (its information sector
// was sent), for the engineer who looks for it.
void note_written(address_pool& pool, int64_t reservation);
// With the pool, at the start: connects, the journal locked and its results sent; 0 with
// `message` and the exit code when the gang can't start.
int open_pool(address_pool& pool, std::string& message, int& exit_code);
// At the end: addresses given back just below the next one go back to the file as well.
// 0 when the file could not be saved (it then keeps the higher address, and so does bt_address).
int close_pool(address_pool& pool);
// With the shared pool: the addresses it can still hand out, counted as `pool status` counts
// them (its `free`); -1 when the server can't tell.
int64_t addresses_left(address_pool& pool);
