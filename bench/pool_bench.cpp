// Figures of the shared address pool on a private PostgreSQL server that the benchmark makes
// and removes (initdb and pg_ctl, as `nobody` when run as root; a Unix socket only):
// - reservations a second and records a second with 8 clients at once;
// - one client's reservation plus record, the time the pool adds to a gang's unit;
// - `pelmo4rix flash` start to exit with --pool against --address-file, on an instant virtual
//   unit, so that the difference is what the pool adds to one unit (goal: under 20 ms).
//   usage: pool_bench [RUNS]
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "pool/pool_store.h"
#include "vunit.h"

namespace {

using clock_type = std::chrono::steady_clock;

constexpr int CLIENTS = 8;
constexpr int PER_CLIENT = 250;
constexpr int PORT = 5499;  // on the private socket only: no TCP

std::string dir, bin;

void must(bool ok, const char* what)
{
    if (!ok) {
        fprintf(stderr, "pool_bench: %s failed\n", what);
        exit(1);
    }
}

// Runs a shell command, as the server's user for the server's programs when root.
bool shell(const std::string& command, bool as_server_user)
{
    std::string line = as_server_user && geteuid() == 0 ? "runuser -u nobody -- " + command : command;
    return system((line + " >/dev/null 2>&1").c_str()) == 0;
}

std::string server_bin()
{
    for (int version = 30; version >= 10; version--) {
        std::string path = "/usr/lib/postgresql/" + std::to_string(version) + "/bin";
        if (access((path + "/initdb").c_str(), X_OK) == 0)
            return path;
    }
    return "";
}

void start_server()
{
    char pattern[] = "/tmp/pool_bench.XXXXXX";
    must(mkdtemp(pattern) != nullptr, "mkdtemp");
    dir = pattern;
    bin = server_bin();
    must(!bin.empty(), "finding the PostgreSQL server programs");
    if (geteuid() == 0)
        must(shell("chown nobody " + dir, false), "chown");
    must(shell(bin + "/initdb -D " + dir + "/data -U postgres --auth-local=trust --no-sync", true), "initdb");
    must(shell(bin + "/pg_ctl -D " + dir + "/data -l " + dir + "/log -w start -o \"-k " + dir + " -p " +
                   std::to_string(PORT) + " -c listen_addresses=''\"",
               true),
         "pg_ctl start");
}

void stop_server()
{
    shell(bin + "/pg_ctl -D " + dir + "/data -m fast -w stop", true);
    shell("rm -rf " + dir, false);
}

std::string url() { return "host=" + dir + " port=" + std::to_string(PORT) + " dbname=postgres user=postgres"; }

bool psql(const std::string& sql) { return shell(bin + "/psql -X \"" + url() + "\" -c \"" + sql + "\"", false); }

pool_store* open_store()
{
    pool_error error;
    pool_store* store = pool_open(url(), false, error);
    if (!store) {
        fprintf(stderr, "pool_bench: %s\n", error.message.c_str());
        exit(1);
    }
    return store;
}

pool_record good_record(const pool_reservation& r)
{
    pool_record record;
    record.reservation = r.id;
    record.time = "2026-12-10T12:00:00Z";
    record.port = "COM7";
    record.address = r.address;
    record.image_version = "6.05";
    record.image_checksum = "3922BA1C";
    record.good = true;
    record.attempts = 1;
    record.seconds = 16.6;
    record.station = "bench";
    return record;
}

// 8 clients at once, each a station instance: each reserves its share, then each stores a
// record for every one. Every reservation must succeed whatever the database's isolation.
void clients_at_once(const char* how)
{
    std::vector<std::vector<pool_reservation>> taken(CLIENTS);
    std::vector<pool_store*> stores;
    for (int c = 0; c < CLIENTS; c++)
        stores.push_back(open_store());
    auto phase = [&](bool reserve) {
        auto start = clock_type::now();
        std::vector<std::thread> threads;
        for (int c = 0; c < CLIENTS; c++)
            threads.emplace_back([&, c] {
                pool_error error;
                const pool_instance instance = pool_new_instance("bench");
                std::vector<int64_t> known;
                for (int i = 0; i < PER_CLIENT; i++) {
                    pool_reservation r;
                    if (reserve) {
                        must(pool_reserve(stores[c], instance, known, r, error), "a reservation");
                        taken[c].push_back(r);
                        known.push_back(r.id);
                    } else {
                        must(pool_finish(stores[c], good_record(taken[c][i]), POOL_GOOD, error), "a record");
                    }
                }
            });
        for (std::thread& t : threads)
            t.join();
        return std::chrono::duration<double>(clock_type::now() - start).count();
    };
    double reserving = phase(true), recording = phase(false);
    for (pool_store* store : stores)
        pool_close(store);
    printf("%-52s %8.0f /s\n", (std::string("reservations, 8 clients at once") + how).c_str(),
           CLIENTS * PER_CLIENT / reserving);
    printf("%-52s %8.0f /s\n", (std::string("records (address marked good), 8 clients") + how).c_str(),
           CLIENTS * PER_CLIENT / recording);
}

double median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

// One client: a reservation and its record, each a committed transaction.
void one_unit_in_a_gang(int runs)
{
    pool_store* store = open_store();
    const pool_instance instance = pool_new_instance("bench");
    std::vector<double> ms;
    for (int i = 0; i < runs * 20; i++) {
        auto start = clock_type::now();
        pool_reservation r;
        pool_error error;
        must(pool_reserve(store, instance, {}, r, error) && pool_finish(store, good_record(r), POOL_GOOD, error),
             "a reservation and its record");
        ms.push_back(std::chrono::duration<double, std::milli>(clock_type::now() - start).count());
    }
    pool_close(store);
    printf("%-52s %8.2f ms\n", "a gang's unit: reservation + record (one client)", median(ms));
}

// Seconds of `pelmo4rix flash ARGS` start to exit.
double flash_seconds(const std::string& args)
{
    auto start = clock_type::now();
    std::string command = "cd " + dir + " && " + PELMO4RIX_BIN_DIR + "/pelmo4rix --quiet flash " + args + " >/dev/null";
    must(system(command.c_str()) == 0, "pelmo4rix flash");
    return std::chrono::duration<double>(clock_type::now() - start).count();
}

void flash_against_address_file(int runs)
{
    vunit_config config;
    config.device_dir = dir;
    config.name = "COM7";
    config.list = true;
    std::string error;
    vunit* unit = vunit_start(config, error);
    must(unit != nullptr, error.c_str());
    setenv("PELMO4RIX_DEVICE_DIR", dir.c_str(), 1);
    FILE* file = fopen((dir + "/info.ini").c_str(), "wb");
    must(file && fputs("0604 03 000100 ", file) >= 0 && fclose(file) == 0, "writing info.ini");
    std::vector<double> with_file, with_pool;
    for (int i = 0; i < runs; i++) {
        with_file.push_back(flash_seconds("--address-file info.ini"));
        with_pool.push_back(flash_seconds("--pool '" + url() + "'"));
    }
    vunit_stop(unit);
    double file_ms = 1000 * median(with_file), pool_ms = 1000 * median(with_pool);
    printf("%-52s %8.1f ms\n", "flash --address-file, instant unit, start to exit", file_ms);
    printf("%-52s %8.1f ms\n", "flash --pool, the same", pool_ms);
    printf("%-52s %8.1f ms  (goal: under 20 ms)\n", "what the pool adds to one unit", pool_ms - file_ms);
}

}  // namespace

int main(int argc, char** argv)
{
    int runs = argc > 1 ? atoi(argv[1]) : 11;
    must(runs > 0, "reading RUNS");
    start_server();
    pool_error error;
    pool_store* setup = pool_open(url(), true, error);
    const int64_t first = int64_t(0x0604) << 32 | int64_t(0x03) << 24;
    must(setup && pool_setup(setup, first, first + 0xFFFFFF, 0, error), "setting up the pool");
    pool_close(setup);
    clients_at_once("");
    // A database whose default isolation would make concurrent reservations fail.
    must(psql("ALTER DATABASE postgres SET default_transaction_isolation = 'repeatable read'"), "setting the isolation");
    clients_at_once(", repeatable read default");
    one_unit_in_a_gang(runs);
    flash_against_address_file(runs);
    stop_server();
    return 0;
}
