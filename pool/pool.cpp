// The address pool over the address file or over the shared pool on a database server (see
// pool.h); the journal's file in journal.cpp.
#include "pool/pool.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "common/exit_codes.h"
#include "common/os.h"
#include "common/text.h"
#include "image/image.h"
#include "link/state.h"
#include "pool/journal.h"
#include "tools/address_file.h"
#include "tools/file_os.h"

namespace {

constexpr int32_t LAP_MASK = 0xFFFFFF;

int32_t lap_of(const uint8_t address[6])
{
    return address[2] << 16 | address[1] << 8 | address[0];
}

void put_lap(uint8_t address[6], int32_t lap)
{
    address[0] = static_cast<uint8_t>(lap);
    address[1] = static_cast<uint8_t>(lap >> 8);
    address[2] = static_cast<uint8_t>(lap >> 16);
}

// bt_address and lap_counter at `lap`; the UAP and NAP stay.
void set_next(int32_t lap)
{
    lap_counter = lap & LAP_MASK;
    put_lap(bt_address, lap_counter);
}

}  // namespace

// --- the shared pool ---

namespace {

constexpr auto RETRY_INTERVAL = std::chrono::seconds(1);

void lost_server(address_pool& pool)
{
    pool_close(pool.store);
    pool.store = nullptr;
    pool.next_try = pool_clock::now() + RETRY_INTERVAL;
}

// Sends what the journal holds; lines the server refuses stay, and say why.
void send_journal(address_pool& pool)
{
    std::vector<std::string> lines = journal_lines(pool.journal), kept;
    pool.journal_trouble.clear();
    bool sent = false;
    for (const std::string& line : lines) {
        pool_record r;
        pool_outcome outcome;
        pool_error error;
        if (!pool.store || !parse_journal_line(line, r, outcome)) {
            kept.push_back(line);
            continue;
        }
        if (pool_finish(pool.store, r, outcome, error)) {
            pool.held.erase(r.reservation);  // known to the server as finished now
            sent = true;
            continue;
        }
        kept.push_back(line);
        if (error.problem == POOL_AWAY)
            lost_server(pool);
        else
            pool.journal_trouble = error.message;
    }
    if (sent)
        rewrite_journal(pool.journal, kept);  // a failed rewrite only sends them again: no harm
    pool.journal_waiting = static_cast<int>(kept.size());
}

// What a renewal found worth telling: units taken back, or units in doubt because the
// lease expired while the server was away.
std::string lease_news(const pool_renewal& renewal)
{
    if (renewal.doubted > 0)
        return "the station's lease expired while the pool server was away: " + std::to_string(renewal.doubted) +
               " units in progress are in doubt";
    if (renewal.adopted > 0)
        return std::to_string(renewal.adopted) + " units in progress taken back";
    return "";
}

// Renews the lease now and sets when to renew it next; the server lost on failure.
int renew_lease(address_pool& pool, pool_error& error)
{
    pool_renewal renewal;
    if (!pool_renew(pool.store, pool.instance, renewal, error)) {
        lost_server(pool);
        return 0;
    }
    pool.next_renewal = pool_clock::now() + std::chrono::milliseconds(pool_renew_interval_ms(renewal.lease_seconds));
    pool.renewal = renewal;
    pool.last_contact =
        std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
    return 1;
}

int connect_pool(address_pool& pool, pool_error& error)
{
    pool.store = pool_open(pool.url, false, error);
    if (!pool.store) {
        pool.next_try = pool_clock::now() + RETRY_INTERVAL;
        return 0;
    }
    pool.server = pool_server(pool.store);
    if (!renew_lease(pool, error))
        return 0;
    send_journal(pool);
    return pool.store != nullptr;
}

}  // namespace

int parse_station(const std::string& text, std::string& station, std::string& error)
{
    if (!is_plain_name(text, STATION_MAX)) {
        error = "bad station name '" + shown_text(text) + "': 1 to " + std::to_string(STATION_MAX) + " " +
                PLAIN_NAME_RULE;
        return 0;
    }
    station = text;
    return 1;
}

int check_image_version(pool_store* store, bool allow_downgrade, std::string& why, pool_error& error)
{
    image_downgraded_from.clear();
    std::string newest;
    if (strcmp(image_record_version, UNSIGNED_IMAGE) == 0)
        return 1;
    if (!pool_newest_good_version(store, -1, -1, newest, error))
        return 0;
    if (newest.empty() || compare_versions(image_version, newest) >= 0)
        return 1;
    if (allow_downgrade) {
        image_downgraded_from = newest;
        return 1;
    }
    why = "the image's version " + std::string(image_version) + " is older than " + newest +
          ", the newest version the pool has recorded good (--allow-downgrade programs it all the same)";
    return 0;
}

int station_name(const std::string& given, std::string& station, std::string& error)
{
    if (!given.empty()) {
        station = given;
        return 1;
    }
    station = os_host_name();
    if (is_plain_name(station, STATION_MAX))
        return 1;
    error = "the host name '" + shown_text(station) + "' can't name this station (1 to " + std::to_string(STATION_MAX) +
            " " + PLAIN_NAME_RULE + "): give --station NAME";
    return 0;
}

int pool_exit_code(pool_problem problem)
{
    if (problem == POOL_NO_SUPPORT || problem == POOL_CONFLICT || problem == POOL_BAD_INPUT)
        return EXIT_USAGE;
    return problem == POOL_USED_UP ? EXIT_POOL_USED_UP : EXIT_POOL_SERVER;
}

int open_pool(address_pool& pool, std::string& message, int& exit_code)
{
    pool_error error;
    if (!pool_supported()) {
        pool_open(pool.url, false, error);  // says why
        message = error.message;
        exit_code = EXIT_USAGE;
        return 0;
    }
    pool.instance = pool_new_instance(pool.station);
    pool.journal_lock = os_lock_open((pool.journal + ".lock").c_str());
    if (!pool.journal_lock || !os_lock_take(pool.journal_lock)) {
        message = "the journal " + pool.journal + " is used by another gang";
        exit_code = EXIT_ADDRESS_FILE;
    } else if (!set_aside_torn_line(pool.journal, pool.opening_note)) {
        message = pool.opening_note;
        exit_code = EXIT_RECORD_FILE;
    } else if (!connect_pool(pool, error)) {
        message = error.message;
        exit_code = pool_exit_code(error.problem);
    } else {
        return 1;
    }
    os_lock_close(pool.journal_lock);  // a gang that does not start holds nothing
    pool.journal_lock = nullptr;
    return 0;
}

int reach_pool(address_pool& pool, std::string& message)
{
    if (pool.store)
        return 1;
    if (pool_clock::now() < pool.next_try)
        return 0;
    pool_error error;
    if (connect_pool(pool, error)) {
        const std::string news = lease_news(pool.renewal);
        message = "the pool server " + pool.server + " answers again" + (news.empty() ? "" : "; " + news);
        return 1;
    }
    message = error.message;
    return 0;
}

void keep_lease(address_pool& pool, std::string& message)
{
    pool_error error;
    // Units taken back are news only after an outage; units in doubt always are.
    if (pool.store && pool_clock::now() >= pool.next_renewal && renew_lease(pool, error) && pool.renewal.doubted > 0)
        message = lease_news(pool.renewal);
}

void note_written(address_pool& pool, int64_t reservation)
{
    pool_error error;
    if (pool.store && !pool_note_phase(pool.store, pool.instance, reservation, "written", error) &&
        error.problem == POOL_AWAY)
        lost_server(pool);
}

int settle_in_pool(address_pool& pool, const production_entry& entry, int64_t reservation, pool_outcome outcome,
                   std::string& message)
{
    pool_record r;
    r.reservation = reservation;
    r.time = entry.time.empty() ? utc_now() : entry.time;
    r.port = entry.port;
    r.address = address_number(entry.address);
    r.image_version = image_record_version;
    r.image_checksum = checksum_text();
    r.good = entry.good;
    r.error_code = entry.error_code;
    r.attempts = entry.attempts;
    r.seconds = entry.seconds;
    r.station = pool.station;
    pool_error error;
    if (pool.store && pool_finish(pool.store, r, outcome, error)) {
        pool.held.erase(reservation);
        return 1;
    }
    // A result the server refuses is kept in the journal too, for the engineer to see.
    bool refused = pool.store && error.problem != POOL_AWAY;
    if (pool.store && !refused)
        lost_server(pool);
    if (!append_journal(pool.journal, journal_line(r, outcome))) {
        message = (refused ? error.message + "; " : "") + "the journal " + pool.journal + " can't be written";
        return 0;
    }
    pool.journal_waiting++;
    message = refused ? error.message + "; kept in the journal " + pool.journal
                      : "in the journal " + pool.journal + " until the pool server answers";
    return !refused;
}

namespace {

int take_from_pool(address_pool& pool, uint8_t address[6], int64_t& reservation, take_failure& why,
                   std::string& message)
{
    why = TAKE_WAIT;
    if (!reach_pool(pool, message))
        return 0;
    pool_reservation taken;
    pool_error error;
    std::vector<int64_t> known(pool.held.begin(), pool.held.end());
    if (!pool_reserve(pool.store, pool.instance, known, taken, error)) {
        message = error.message;
        if (error.problem == POOL_AWAY)
            lost_server(pool);
        else
            why = error.problem == POOL_USED_UP ? TAKE_USED_UP : TAKE_REFUSED;
        return 0;
    }
    address_bytes(taken.address, address);
    reservation = taken.id;
    pool.held.insert(taken.id);
    pool.left = taken.left;
    return 1;
}

}  // namespace

int take_address(address_pool& pool, uint8_t address[6], int64_t& reservation, take_failure& why,
                 std::string& message)
{
    if (!pool.url.empty())
        return take_from_pool(pool, address, reservation, why, message);
    why = TAKE_FILE_UNSAVED;
    message = "the address file " + pool.path + " can't be saved";
    memcpy(address, bt_address, 6);
    if (!pool.free_laps.empty()) {
        put_lap(address, *pool.free_laps.begin());
        pool.free_laps.erase(pool.free_laps.begin());
        return 1;
    }
    if (!reserve_address(pool.path.c_str()))  // the file moves past it before any unit has it
        return 0;
    set_next(lap_counter + 1);
    return 1;
}

namespace {

// The fields of one CSV line as the record writes them (a quoted field may hold commas).
std::vector<std::string> csv_fields(const std::string& line)
{
    std::vector<std::string> fields(1);
    bool quoted = false;
    for (size_t i = 0; i < line.size(); i++) {
        const char c = line[i];
        if (c == '"' && quoted && i + 1 < line.size() && line[i + 1] == '"')
            fields.back() += line[++i];
        else if (c == '"')
            quoted = !quoted;
        else if (c == ',' && !quoted)
            fields.emplace_back();
        else if (c != '\r')
            fields.back() += c;
    }
    return fields;
}

constexpr size_t RECORD_ADDRESS = 2, RECORD_RESULT = 5;  // columns of the record

// The results the record holds for `address`, in the record's order.
std::vector<std::string> recorded_results(const std::string& record, const std::string& address)
{
    std::vector<std::string> results;
    for (const std::string& line : journal_lines(record)) {
        const std::vector<std::string> f = csv_fields(line);
        if (f.size() > RECORD_RESULT && f[RECORD_ADDRESS] == address)
            results.push_back(f[RECORD_RESULT]);
    }
    return results;
}

// Why the record shows `results` handed to more than one unit; empty when to one only.
std::string handed_more_than_once(const std::vector<std::string>& results)
{
    if (results.empty())
        return "not in the record";
    const long others = static_cast<long>(std::count_if(results.begin() + 1, results.end(), [&](const std::string& r) {
        return results[0] == "good" ? r == "good" : r != "kept";
    }));
    return others == 0 ? "" : "handed out again (given back after a failed unit)";
}

// The server's word on keeping `address`; while it is away nothing is decided (`why` says so).
int keep_in_pool(address_pool& pool, const uint8_t address[6], int64_t& reservation, std::string& why)
{
    pool_error error;
    if (!reach_pool(pool, why))
        return 0;
    if (pool_keep(pool.store, pool.instance, address_number(address), reservation, why, error)) {
        pool.held.insert(reservation);
        return 1;
    }
    if (why.empty()) {
        why = error.message;
        if (error.problem == POOL_AWAY)
            lost_server(pool);
    }
    return 0;
}

}  // namespace

int keep_address(address_pool& pool, const std::string& record, const uint8_t address[6], int64_t& reservation,
                 std::string& why)
{
    reservation = 0;
    if (!pool.url.empty())
        return keep_in_pool(pool, address, reservation, why);
    if (memcmp(address + 3, bt_address + 3, 3) != 0 || lap_of(address) >= lap_counter)
        why = "not from the address file " + pool.path;
    else if (pool.free_laps.count(lap_of(address)))
        why = "given back in this run";
    else
        why = handed_more_than_once(recorded_results(record, address_of(address)));
    return why.empty();
}

void give_back(address_pool& pool, const uint8_t address[6])
{
    pool.free_laps.insert(lap_of(address));
}

int close_pool(address_pool& pool)
{
    if (!pool.url.empty()) {
        int doubted = 0;
        pool_error error;
        if (pool.store)  // what it still holds is in doubt at once, not when the lease expires
            pool_end_instance(pool.store, pool.instance, doubted, error);
        pool_close(pool.store);
        pool.store = nullptr;
        os_lock_close(pool.journal_lock);
        return 1;
    }
    const int32_t saved = lap_counter;
    while (pool.free_laps.erase((lap_counter - 1) & LAP_MASK))
        set_next(lap_counter - 1);
    if (lap_counter == saved || release_address(pool.path.c_str()))
        return 1;
    set_next(saved);  // the file still holds it: say so
    return 0;
}

int64_t addresses_left(address_pool& pool)
{
    pool_counts counts;
    pool_error error;
    return pool.store && pool_count(pool.store, counts, error) ? counts.free : -1;
}
