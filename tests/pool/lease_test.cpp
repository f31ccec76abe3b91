// Who holds an address in the shared pool: station leases against server restarts and
// session time-outs, stops and failures after the information sector was sent (gang and
// flash, pool and address file), a torn journal line, the stations' rights in the database
// and a layout of version 1 brought up to date. Against a private PostgreSQL server, with
// the real programs on virtual units; checked in the pool and on the units' flash.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <map>
#include <memory>
#include <random>
#include <regex>
#include <set>
#include <sstream>
#include <thread>

#include "device/flash_layout.h"
#include "image/image.h"
#include "link/state.h"

#include "support/gang_process.h"
#include "support/pg_server.h"
#include "support/unit_fixture.h"
#include "vunit/vunit.h"

namespace {

constexpr char FIRST[] = "0604:03:000100";
constexpr char LAST[] = "0604:03:000109";

// The stations' role as the engineer's guide sets it up.
constexpr char STATION_ROLE[] =
    "CREATE ROLE station LOGIN PASSWORD 'pw';"
    "GRANT CONNECT ON DATABASE pool TO station;"
    "\\c pool\n"
    "GRANT USAGE ON SCHEMA pelmo4rix TO station;"
    "GRANT SELECT ON ALL TABLES IN SCHEMA pelmo4rix TO station;"
    "GRANT EXECUTE ON FUNCTION pelmo4rix.renew, pelmo4rix.reserve, pelmo4rix.note_phase, pelmo4rix.finish,"
    " pelmo4rix.end_instance, pelmo4rix.keep, pelmo4rix.newest_good_version TO station;";

std::string lap_address(int lap)
{
    char text[16];
    snprintf(text, sizeof text, "0604:03:%06x", lap);
    return text;
}

// `pelmo4rix ARGS` as a running process, its standard output read from a pipe.
struct running {
    pid_t pid = -1;
    int out = -1;
    std::string output;

    running(const std::vector<std::string>& args, const std::string& cwd)
    {
        int ends[2];
        EXPECT_EQ(pipe(ends), 0);
        const pid_t test = getpid();
        pid = fork();
        if (pid == 0) {
            end_with_test(test);
            dup2(ends[1], 1);
            close(ends[0]);
            if (chdir(cwd.c_str()) != 0)
                _exit(127);
            std::vector<std::string> all = {program_path("pelmo4rix")};
            all.insert(all.end(), args.begin(), args.end());
            exec_program(all);
        }
        close(ends[1]);
        out = ends[0];
    }
    ~running()
    {
        if (pid > 0) {
            kill(pid, SIGKILL);
            waitpid(pid, nullptr, 0);
        }
        close(out);
    }
    // Waits for a progress line of the write phase at step `total - from_end`.
    bool wait_for_write_step(int from_end)
    {
        auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
        for (size_t at = 0; std::chrono::steady_clock::now() < deadline;) {
            for (size_t end; (end = output.find('\n', at)) != std::string::npos; at = end + 1) {
                int step, total;
                if (sscanf(output.c_str() + at, "{\"event\":\"progress\",\"phase\":\"write\",\"step\":%d,\"total\":%d",
                           &step, &total) == 2 &&
                    step == total - from_end)
                    return true;
            }
            pollfd p = {out, POLLIN, 0};
            char chunk[4096];
            ssize_t n = poll(&p, 1, 1000) > 0 ? read(out, chunk, sizeof chunk) : 0;
            if (n < 0 || (n == 0 && p.revents & POLLHUP))
                return false;
            output.append(chunk, n > 0 ? size_t(n) : 0);
        }
        return false;
    }
    int finish()
    {
        int status = 0;
        waitpid(pid, &status, 0);
        pid = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
};

class lease_test : public unit_test {
protected:
    pg_server server;
    temp_dir cwd;
    std::string url;

    void SetUp() override
    {
        unit_test::SetUp();
        START_PG_SERVER(server);
        ASSERT_TRUE(server.sql("CREATE DATABASE pool")) << server.error;
        url = server.url("pool");
    }

    run_result pelmo4rix(const std::vector<std::string>& args, const std::string& dir = "")
    {
        std::vector<std::string> argv = {program_path("pelmo4rix")};
        argv.insert(argv.end(), args.begin(), args.end());
        return run_program(argv, dir.empty() ? cwd.path : dir, "", false, 60000);
    }

    void init_pool(const std::vector<std::string>& extra = {})
    {
        std::vector<std::string> args = {"pool", "init", "--pool", url, "--first", FIRST, "--last", LAST};
        args.insert(args.end(), extra.begin(), extra.end());
        run_result r = pelmo4rix(args);
        ASSERT_EQ(r.exit_code, 0) << r.output;
    }

    // `pool status --json` (with `--doubt` when asked), standard output only.
    std::string status_json(bool doubt = false)
    {
        std::vector<std::string> argv = {program_path("pelmo4rix"), "pool", "status", "--pool", url, "--json"};
        if (doubt)
            argv.push_back("--doubt");
        run_result r = run_program(argv, cwd.path, "", false, 30000, true);
        EXPECT_EQ(r.exit_code, 0) << r.output << r.errors;
        return r.output;
    }

    // What the pool's status says of `key`, as "key":value.
    std::string count(const std::string& key)
    {
        const std::string json = status_json();
        size_t at = json.find("\"" + key + "\":");
        return at == std::string::npos ? "missing" : json.substr(at, json.find_first_of(",}", at) - at);
    }

    // The address's state in the pool, straight from the database (as the superuser).
    std::string state_of(const std::string& address)
    {
        run_result r = run_program({pg_server::bin_dir() + "/psql", "-X", "-At", url, "-c",
                                    "SELECT state FROM pelmo4rix.address_states WHERE address = x'" +
                                        address.substr(0, 4) + address.substr(5, 2) + address.substr(8) +
                                        "'::bigint"},
                                   cwd.path, "", false, 30000, true);
        return r.output.substr(0, r.output.find('\n'));
    }

    std::vector<std::string> good_addresses()
    {
        run_result r = run_program({program_path("pelmo4rix"), "pool", "records", "--pool", url}, cwd.path, "", false,
                                   30000, true);
        std::vector<std::string> good;
        std::istringstream in(r.output);
        for (std::string line; std::getline(in, line);)
            if (line.find(",good,") != std::string::npos)
                good.push_back(line.substr(line.find(',', line.find(',') + 1) + 1, 14));
        return good;
    }
};

// Connections end for many reasons while a station programs: a session time-out on the
// stations' role, a server restart. Neither makes a live reservation look abandoned.
TEST_F(lease_test, ReservationsOutliveTheServersConnections)
{
    init_pool();
    ASSERT_TRUE(server.sql(STATION_ROLE)) << server.error;
    ASSERT_TRUE(server.sql("ALTER ROLE station SET idle_session_timeout = '1s'")) << server.error;
    temp_dir dev_a, dev_b, cwd_a, cwd_b;
    // About 20 s of writing: longer than the checks below take on a busy machine.
    vunit* unit_a = start_unit({"--device-dir", dev_a.path, "--write-ms", "80"}, "COM7");
    vunit* unit_b = start_unit({"--device-dir", dev_b.path, "--write-ms", "80"}, "COM7");
    gang_process a, b;
    a.start({"--pool", url, "--station", "A", "--units", "1"}, cwd_a.path, dev_a.path);
    b.start({"--pool", server.tcp_url("station", "pw", "pool"), "--station", "B", "--units", "1"}, cwd_b.path,
            dev_b.path);
    ASSERT_TRUE(a.wait_for(" write") && b.wait_for(" write")) << a.output << b.output;
    usleep(2500000);  // the station's idle sessions have been ended by now
    EXPECT_EQ(count("in_doubt"), "\"in_doubt\":0") << "a session time-out ends no lease";
    ASSERT_TRUE(server.stop() && server.start()) << server.error;
    EXPECT_EQ(count("in_progress"), "\"in_progress\":2");
    EXPECT_EQ(count("in_doubt"), "\"in_doubt\":0") << "a restart ends no lease";
    run_result release = pelmo4rix({"pool", "release", "--pool", url, lap_address(0x100), lap_address(0x101)});
    EXPECT_EQ(release.exit_code, 2) << release.output;
    for (const char* station : {"station A (instance ", "station B (instance "})
        EXPECT_NE(release.output.find(station), std::string::npos) << release.output;
    EXPECT_NE(release.output.find("is programming a unit with it since 20"), std::string::npos) << release.output;

    ASSERT_EQ(a.finish(), 0) << a.output;
    ASSERT_EQ(b.finish(), 0) << b.output;
    std::vector<std::string> good = good_addresses();
    ASSERT_EQ(good.size(), 2u);
    EXPECT_NE(good[0], good[1]);
    const bool a_first = holds_address(unit_a, good[0]);
    EXPECT_TRUE(holds_address(unit_a, good[a_first ? 0 : 1]) && holds_address(unit_b, good[a_first ? 1 : 0]));
    EXPECT_EQ(count("good"), "\"good\":2");
    EXPECT_EQ(count("in_doubt"), "\"in_doubt\":0");
}

// A station killed: its reservation is in doubt once its lease expires, listed with what
// is known of it, and only then released.
TEST_F(lease_test, AKilledStationsAddressIsInDoubtOnceItsLeaseExpires)
{
    init_pool({"--lease", "2"});
    temp_dir dev_gang;
    start_unit({"--device-dir", dev_gang.path, "--write-ms", "50"}, "COM7");
    gang_process gang;
    gang.start({"--pool", url, "--station", "G"}, cwd.path, dev_gang.path);
    ASSERT_TRUE(gang.wait_for(" write")) << gang.output;
    usleep(3000000);  // longer than the lease: renewed meanwhile
    EXPECT_EQ(pelmo4rix({"pool", "release", "--pool", url, FIRST}).exit_code, 2) << "its station still runs";
    EXPECT_NE(status_json(true).find("\"in_doubt\":[]"), std::string::npos);
    kill(gang.pid, SIGKILL);
    gang.finish();
    usleep(2500000);
    const std::string doubt = status_json(true);
    EXPECT_NE(doubt.find("\"address\":\"" + std::string(FIRST) + "\",\"station\":\"G\",\"instance\":\""),
              std::string::npos)
        << doubt;
    EXPECT_NE(doubt.find("\"phase\":\"reserved\",\"record\":null"), std::string::npos) << doubt;
    run_result release = pelmo4rix({"pool", "release", "--pool", url, FIRST});
    EXPECT_EQ(release.exit_code, 0) << release.output;
    EXPECT_EQ(state_of(FIRST), "given_back");
}

// flash --pool (and with an address file) stopped by a signal: once the information sector
// was sent the unit may hold the address, and no other unit gets it.
TEST_F(lease_test, AFlashStoppedAfterTheInformationSectorKeepsItsAddress)
{
    init_pool();
    write_file(cwd / "info.ini", "0604 03 000200 \n");
    struct stop {
        const char* name;
        int signal;
        int from_end;  // the write step, counted from the end: 2 the information sector, 1 sector 0
        bool file;
        std::string address;
        bool kept;
    } stops[] = {
        {"SIGINT at the information sector", SIGINT, 2, false, lap_address(0x100), true},
        {"SIGTERM at the information sector", SIGTERM, 2, false, lap_address(0x101), true},
        {"SIGINT at sector 0", SIGINT, 1, false, lap_address(0x102), true},
        {"SIGTERM before the information sector", SIGTERM, 100, false, lap_address(0x103), false},
        {"SIGINT at the information sector, address file", SIGINT, 2, true, lap_address(0x200), true},
    };
    for (const stop& s : stops) {
        vunit* unit = start_unit({"--write-ms", "20"}, "COM7");
        running flash({"--port", "COM7", "--events", "flash",
                       s.file ? "--address-file" : "--pool", s.file ? "info.ini" : url},
                      cwd.path);
        ASSERT_TRUE(flash.wait_for_write_step(s.from_end)) << s.name << "\n" << flash.output;
        kill(flash.pid, s.signal);
        EXPECT_EQ(flash.finish(), 128 + s.signal) << s.name;
        EXPECT_EQ(holds_address(unit, s.address), s.kept) << s.name;
        if (s.file)
            EXPECT_EQ(read_file(cwd / "info.ini"), "0604 03 000201 ") << s.name << ": the file moved past it";
        else
            EXPECT_EQ(state_of(s.address), s.kept ? "in_doubt" : "given_back") << s.name;
        stop_unit(unit);
    }
    vunit* next = start_unit({}, "COM7");
    ASSERT_EQ(pelmo4rix({"--quiet", "flash", "--pool", url}).exit_code, 0);
    EXPECT_TRUE(holds_address(next, lap_address(0x103))) << "only the address never written is handed out again";
}

// The address in the first event line of the gang that matches `pattern` (its group 1),
// waiting for it; empty when none came.
std::string address_in_event(gang_process& gang, const std::string& pattern)
{
    const std::regex line(pattern);
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    for (std::smatch m;;) {
        if (std::regex_search(gang.output, m, line))
            return m[1];
        if (!gang.read_more(deadline))
            return "";
    }
}

// Units of a gang that fail after their information sector was written (a checksum
// mismatch, unplugged at the information sector) keep their addresses; the next unit gets
// another.
TEST_F(lease_test, AGangsUnitsThatFailAfterTheInformationSectorKeepTheirAddresses)
{
    init_pool();
    for (bool pool : {true, false}) {
        SCOPED_TRACE(pool ? "pool" : "address file");
        temp_dir dev_gang, cwd_gang;
        write_file(cwd_gang / "info.ini", "0604 03 000100 \n");
        vunit* bad_crc = start_unit({"--device-dir", dev_gang.path, "--fault", "bad-crc"}, "COM7");
        start_unit({"--device-dir", dev_gang.path, "--fault", "unplug-after-sectors:253"}, "COM8");
        // A second attempt covers a start that a busy machine fails ("no unit answers").
        // --write-blank: every image sector is sent, so the 253rd frame is the information sector.
        std::vector<std::string> args = {"--attempts", "2", "--station", "G", "--write-blank"};
        if (pool)
            args.insert(args.end(), {"--pool", url});
        gang_process gang;
        gang.start(args, cwd_gang.path, dev_gang.path);
        const std::string kept = pool ? ", address in doubt" : ", address not used again";
        const std::string checksum = address_in_event(gang, "COM7 (\\S+) failed error_code 20: .*" + kept);
        const std::string unplugged = address_in_event(gang, "COM8 (\\S+) failed error_code [0-9]+: .*" + kept);
        ASSERT_FALSE(checksum.empty() || unplugged.empty()) << gang.output;
        vunit* good = start_unit({"--device-dir", dev_gang.path}, "COM9");
        const std::string next = address_in_event(gang, "COM9 (\\S+) good");
        kill(gang.pid, SIGINT);
        EXPECT_EQ(gang.finish(), 28) << gang.output;
        EXPECT_TRUE(holds_address(bad_crc, checksum)) << "the failed unit holds its address";
        EXPECT_TRUE(holds_address(good, next)) << gang.output;
        EXPECT_NE(next, checksum);
        EXPECT_NE(next, unplugged);
        if (pool) {
            EXPECT_EQ(state_of(checksum), "in_doubt");
            EXPECT_EQ(state_of(unplugged), "in_doubt");
            const std::string doubt = status_json(true);
            EXPECT_NE(doubt.find("\"phase\":\"written\",\"record\":{\"result\":\"failed\",\"error_code\":20"),
                      std::string::npos)
                << doubt;
        } else {
            const std::string file = read_file(cwd_gang / "info.ini");  // "0604 03 LAP "
            const std::string past = file.size() > 13 ? "0604:03:" + file.substr(8, 6) : "";
            EXPECT_GT(past, std::max({checksum, unplugged, next})) << file << ": the file moved past every unit";
        }
        for (vunit* unit : std::vector<vunit*>(units))
            stop_unit(unit);
    }
}

// A journal whose last line was cut (a crash, a full disk) loses nothing appended after it.
TEST_F(lease_test, AJournalsTornLastLineIsSetAside)
{
    init_pool();
    const std::string torn = "17\tgood\t394893";
    write_file(cwd / "pool-journal.txt", torn);
    temp_dir dev_gang;
    start_unit({"--device-dir", dev_gang.path, "--write-ms", "16"}, "COM7");  // about 4 s of writing
    gang_process gang;
    gang.start({"--pool", url, "--units", "1"}, cwd.path, dev_gang.path);
    ASSERT_TRUE(gang.wait_for("set aside in pool-journal.txt.torn")) << gang.output;
    ASSERT_TRUE(gang.wait_for(" write")) << gang.output;
    ASSERT_TRUE(server.stop()) << server.error;
    ASSERT_TRUE(gang.wait_for("until the pool server answers")) << "the result goes to the journal\n" << gang.output;
    ASSERT_TRUE(server.start()) << server.error;
    ASSERT_EQ(gang.finish(), 0) << gang.output;
    EXPECT_EQ(good_addresses(), std::vector<std::string>{FIRST}) << "the result appended after the torn line is stored";
    EXPECT_EQ(read_file(cwd / "pool-journal.txt"), "");
    EXPECT_EQ(read_file(cwd / "pool-journal.txt.torn"), torn + "\n");
}

// A TCP relay to the server that lets the server commit the first reservation and then
// cuts the connection before its answer to COMMIT reaches the station.
struct commit_cutter {
    int listener = -1, port = 0;
    std::thread thread;
    // Shared with the connections' threads, which may end after the relay.
    std::shared_ptr<std::atomic<bool>> cut = std::make_shared<std::atomic<bool>>(false);

    explicit commit_cutter(int server_port)
    {
        listener = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a = {};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof a;
        EXPECT_EQ(bind(listener, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
        EXPECT_EQ(listen(listener, 8), 0);
        getsockname(listener, reinterpret_cast<sockaddr*>(&a), &length);
        port = ntohs(a.sin_port);
        thread = std::thread([this, server_port] {
            for (int client; (client = accept(listener, nullptr, nullptr)) >= 0;)
                std::thread(relay, client, server_port, cut).detach();
        });
    }
    ~commit_cutter()
    {
        shutdown(listener, SHUT_RDWR);
        close(listener);
        thread.join();
    }
    static void relay(int client, int server_port, std::shared_ptr<std::atomic<bool>> cut)
    {
        int server = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a = {};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        a.sin_port = htons(static_cast<uint16_t>(server_port));
        bool reserving = false, committing = false;
        if (connect(server, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0)
            for (;;) {
                pollfd p[2] = {{client, POLLIN, 0}, {server, POLLIN, 0}};
                if (poll(p, 2, 30000) <= 0)
                    break;
                char chunk[65536];
                const int from = p[0].revents ? client : server, to = from == client ? server : client;
                ssize_t n = read(from, chunk, sizeof chunk);
                if (n <= 0)
                    break;
                const std::string text(chunk, size_t(n));
                if (from == server && committing) {
                    *cut = true;  // the server has committed: its answer is lost
                    break;
                }
                if (from == client && !*cut) {
                    reserving = reserving || text.find("pelmo4rix.reserv") != std::string::npos;
                    committing = reserving && text.find("COMMIT") != std::string::npos;
                }
                if (write(to, chunk, size_t(n)) != n)
                    break;
            }
        close(server);
        close(client);
    }
};

// The answer to the COMMIT of a reservation lost with its connection: the station finds
// that reservation again on a new connection, and no address is left in progress or doubt.
TEST_F(lease_test, ALostAnswerToCommitIsResolvedOnReconnect)
{
    init_pool();
    ASSERT_TRUE(server.sql("CREATE ROLE relayed LOGIN SUPERUSER PASSWORD 'pw'")) << server.error;
    commit_cutter cutter(server.port);
    vunit* unit = start_unit({}, "COM7");
    run_result flash = pelmo4rix(
        {"--quiet", "flash", "--pool", "postgresql://relayed:pw@127.0.0.1:" + std::to_string(cutter.port) + "/pool"});
    EXPECT_TRUE(*cutter.cut) << "the answer to COMMIT was cut";
    ASSERT_EQ(flash.exit_code, 0) << flash.output;
    EXPECT_TRUE(holds_address(unit, FIRST));
    EXPECT_EQ(state_of(FIRST), "good");
    EXPECT_EQ(count("next"), "\"next\":\"0604:03:000101\"") << "one address handed out";
    EXPECT_EQ(count("in_doubt"), "\"in_doubt\":0");
}

// A layout of version 1, as the first tools left it, with rows in every state.
constexpr char LAYOUT_1[] = R"sql(
\c pool
CREATE SCHEMA pelmo4rix;
CREATE TABLE pelmo4rix.schema_version (version integer NOT NULL);
INSERT INTO pelmo4rix.schema_version VALUES (1);
CREATE TABLE pelmo4rix.ranges (id serial PRIMARY KEY, first bigint NOT NULL, last bigint NOT NULL, next bigint NOT NULL,
    EXCLUDE USING gist (int8range(first, last, '[]') WITH &&));
CREATE SEQUENCE pelmo4rix.reservations;
CREATE TABLE pelmo4rix.addresses (address bigint PRIMARY KEY,
    state text NOT NULL CHECK (state IN ('in_progress', 'good', 'given_back', 'in_doubt')),
    reservation bigint NOT NULL UNIQUE, station text NOT NULL, holder integer, changed timestamptz NOT NULL DEFAULT now());
CREATE TABLE pelmo4rix.records (reservation bigint PRIMARY KEY, time timestamptz NOT NULL, port text NOT NULL,
    address bigint NOT NULL, image_version text NOT NULL, image_checksum text NOT NULL,
    result text NOT NULL CHECK (result IN ('good', 'failed')), error_code integer NOT NULL, attempts integer NOT NULL,
    seconds numeric(10, 1) NOT NULL, station text NOT NULL);
CREATE UNIQUE INDEX records_one_good ON pelmo4rix.records (address) WHERE result = 'good';
INSERT INTO pelmo4rix.ranges (first, last, next) VALUES (x'060403000100'::bigint, x'060403000109'::bigint, x'060403000104'::bigint);
SELECT setval('pelmo4rix.reservations', 4);
INSERT INTO pelmo4rix.addresses VALUES (x'060403000100'::bigint, 'good', 1, 'A', NULL),
    (x'060403000101'::bigint, 'given_back', 2, 'A', NULL), (x'060403000102'::bigint, 'in_progress', 3, 'B', pg_backend_pid()),
    (x'060403000103'::bigint, 'in_doubt', 4, 'B', NULL);
INSERT INTO pelmo4rix.records VALUES (1, '2026-12-10T11:52:54Z', 'COM7', x'060403000100'::bigint, '6.05', '3922BA1C', 'good', 0, 1, 16.6, 'A'),
    (2, '2026-12-10T11:53:10Z', 'COM8', x'060403000101'::bigint, '6.05', '3922BA1C', 'failed', 15, 1, 3.2, 'A');
CREATE ROLE station LOGIN PASSWORD 'pw';
GRANT CONNECT ON DATABASE pool TO station;
GRANT USAGE ON SCHEMA pelmo4rix TO station;
GRANT SELECT ON pelmo4rix.schema_version TO station;
GRANT SELECT, UPDATE (next) ON pelmo4rix.ranges TO station;
GRANT SELECT, INSERT, UPDATE ON pelmo4rix.addresses TO station;
GRANT SELECT, INSERT ON pelmo4rix.records TO station;
GRANT USAGE ON SEQUENCE pelmo4rix.reservations TO station;
)sql";

// `pool init` brings a version 1 layout up to date with every row kept; the stations' role
// then only reads and calls its functions; --since is UTC whatever the session's zone.
TEST_F(lease_test, ALayoutOfVersion1IsBroughtUpToDateAndKeepsTheRules)
{
    ASSERT_TRUE(server.sql(LAYOUT_1)) << server.error;
    ASSERT_TRUE(server.sql("ALTER DATABASE pool SET timezone = 'Pacific/Kiritimati'")) << server.error;  // UTC+14
    run_result refused = pelmo4rix({"pool", "status", "--pool", url});
    EXPECT_EQ(refused.exit_code, 33);
    EXPECT_NE(refused.output.find("layout version 1; this program knows version 4 (pelmo4rix pool init"),
              std::string::npos)
        << refused.output;
    run_result init = pelmo4rix({"pool", "init", "--pool", url});
    ASSERT_EQ(init.exit_code, 0) << init.output;
    for (auto [address, state] : {std::pair<int, const char*>{0x100, "good"}, {0x101, "given_back"},
                                  {0x102, "in_doubt"}, {0x103, "in_doubt"}})
        EXPECT_EQ(state_of(lap_address(address)), state) << lap_address(address);
    EXPECT_EQ(count("next"), "\"next\":\"0604:03:000104\"");
    run_result since = pelmo4rix({"pool", "records", "--pool", url, "--since", "2026-12-10T11:53:00"});
    EXPECT_EQ(since.output.find("11:52:54Z"), std::string::npos) << "UTC, not the session's zone\n" << since.output;
    EXPECT_NE(since.output.find("11:53:10Z"), std::string::npos) << since.output;

    const std::string station = server.tcp_url("station", "pw", "pool");
    vunit* unit = start_unit({}, "COM7");
    run_result flash = pelmo4rix({"--quiet", "flash", "--pool", station});
    ASSERT_EQ(flash.exit_code, 0) << "the station's old rights became the new ones\n" << flash.output;
    EXPECT_TRUE(holds_address(unit, lap_address(0x101))) << "the address given back first";
    struct refusal {
        const char* name;
        std::string sql;
    } refusals[] = {
        {"a good address given back", "UPDATE pelmo4rix.addresses SET state = 'given_back' WHERE state = 'good'"},
        {"a record written", "DELETE FROM pelmo4rix.records"},
        {"the release function", "SELECT pelmo4rix.release(x'060403000103'::bigint)"},
    };
    for (const refusal& r : refusals) {
        run_result psql = run_program({pg_server::bin_dir() + "/psql", "-X", station, "-c", r.sql}, cwd.path, "", false,
                                      30000);
        EXPECT_NE(psql.output.find("permission denied"), std::string::npos) << r.name << "\n" << psql.output;
    }
    run_result release = pelmo4rix({"pool", "release", "--pool", station, lap_address(0x103)});
    EXPECT_NE(release.exit_code, 0);
    EXPECT_NE(release.output.find("permission denied"), std::string::npos) << release.output;
    run_result owner = run_program({pg_server::bin_dir() + "/psql", "-X", url, "-c",
                                    "UPDATE pelmo4rix.addresses SET state = 'given_back' WHERE state = 'good'"},
                                   cwd.path, "", false, 30000);
    EXPECT_NE(owner.output.find("is good: its state never changes"), std::string::npos) << "not even the owner\n"
                                                                                        << owner.output;
    EXPECT_EQ(pelmo4rix({"pool", "release", "--pool", url, lap_address(0x102), lap_address(0x103)}).exit_code, 0);
}

// Whether process `pid` has ended (gone, or a zombie left to reap), waiting up to 10 s.
bool ended_in_time(pid_t pid)
{
    for (int i = 0; i < 1000; i++) {
        const std::string stat = read_file("/proc/" + std::to_string(pid) + "/stat");
        const size_t paren = stat.rfind(')');
        if (paren == std::string::npos || stat.compare(paren + 2, 1, "Z") == 0)
            return true;
        usleep(10000);
    }
    return false;
}

// A test process killed (a time-out, Ctrl+C) takes the gang it started with it: an orphaned
// gang, its own pool server still running, would program the units of later tests once their
// pseudo-terminals get the numbers that its port names still lead to.
TEST(test_support, AGangEndsWithTheTestThatStartedIt)
{
    temp_dir dev, dir;
    write_file(dir / "info.ini", "0604 03 000100 \n");
    int ends[2];
    ASSERT_EQ(pipe(ends), 0);
    const pid_t test = fork();
    ASSERT_GE(test, 0);
    if (test == 0) {  // the test that is killed
        gang_process gang;
        gang.start({}, dir.path, dev.path);
        if (write(ends[1], &gang.pid, sizeof gang.pid) != sizeof gang.pid)
            _exit(1);
        pause();
        _exit(0);
    }
    pid_t gang = -1;
    ASSERT_EQ(read(ends[0], &gang, sizeof gang), static_cast<ssize_t>(sizeof gang));
    close(ends[0]);
    close(ends[1]);
    kill(test, SIGKILL);
    waitpid(test, nullptr, 0);
    EXPECT_TRUE(ended_in_time(gang)) << "the gang outlived its test";
    kill(gang, SIGKILL);
}

// The address a unit's flash holds when it is complete (its sector 0 written last, after the
// information sector), among the range's; empty for a unit left incomplete or blank.
std::string complete_units_address(const std::vector<uint8_t>& flash, int first_lap, int last_lap)
{
    if (std::all_of(flash.begin(), flash.begin() + SECTOR_SIZE, [](uint8_t b) { return b == 0xFF; }))
        return "";
    for (int lap = first_lap; lap <= last_lap; lap++) {
        const uint8_t bytes[6] = {uint8_t(lap), uint8_t(lap >> 8), uint8_t(lap >> 16), 0x03, 0x04, 0x06};
        memcpy(bt_address, bytes, sizeof bytes);
        std::vector<uint8_t> sector(SECTOR_SIZE);
        build_info_sector(sector.data());
        if (std::equal(sector.begin(), sector.end(), flash.begin() + INFO_SECTOR_ADDRESS))
            return lap_address(lap);
    }
    return "";
}

// Rounds of stations killed or stopped and the server restarted at random moments while two
// gangs program; then, on the units' flash and in the database: no address on two complete
// units, every complete unit's address held (good or in doubt), every good record on a
// complete unit. A short run here; bench/chaos.sh runs longer ones (PELMO4RIX_CHAOS_ROUNDS).
TEST_F(lease_test, ChaosKeepsOneAddressPerUnit)
{
    constexpr int SHORT_RUN_ROUNDS = 6;  // some of each action, in well under a minute
    const char* rounds_variable = getenv("PELMO4RIX_CHAOS_ROUNDS");
    const int rounds = rounds_variable ? atoi(rounds_variable) : SHORT_RUN_ROUNDS;
    constexpr int FIRST_LAP = 0x100, LAST_LAP = 0x1ff;
    ASSERT_EQ(pelmo4rix({"pool", "init", "--pool", url, "--first", lap_address(FIRST_LAP), "--last",
                         lap_address(LAST_LAP), "--lease", "2"})
                  .exit_code,
              0);
    std::mt19937 random(std::random_device{}());
    std::vector<std::unique_ptr<temp_dir>> dirs;  // every incarnation's device directory and cwd
    struct station {
        std::unique_ptr<gang_process> gang;
        std::vector<vunit*> units;
    } stations[2];
    auto start_station = [&](station& s, const std::string& name) {
        dirs.push_back(std::make_unique<temp_dir>());
        const std::string dev_dir = dirs.back()->path;
        dirs.push_back(std::make_unique<temp_dir>());
        s.units.clear();
        for (const char* port : {"COM7", "COM8"})
            s.units.push_back(start_unit({"--device-dir", dev_dir, "--write-ms", std::to_string(2 + random() % 6)}, port));
        s.gang = std::make_unique<gang_process>();
        // Each unit once: a gang that misses a done unit on a busy machine would program it
        // again ("unit gone"), a matter of the gang's slots, not of the pool.
        s.gang->start({"--pool", url, "--station", name, "--attempts", "1", "--units", "2"}, dirs.back()->path,
                      dev_dir);
    };
    start_station(stations[0], "A");
    start_station(stations[1], "B");
    std::string ended;  // what the stations ended in the rounds said
    for (int round = 0; round < rounds; round++) {
        usleep(500000 + random() % 2500000);
        const int what = random() % 3, which = random() % 2;
        SCOPED_TRACE("round " + std::to_string(round) + ", action " + std::to_string(what));
        if (what == 2) {
            ASSERT_TRUE(server.stop() && server.start()) << server.error;
            continue;
        }
        // The station killed, or stopped as an operator stops it; fresh units for its next run.
        kill(stations[which].gang->pid, what == 0 ? SIGKILL : SIGINT);
        stations[which].gang->finish(60000);
        ended += stations[which].gang->output;
        start_station(stations[which], which ? "B" : "A");
    }
    for (station& s : stations) {
        kill(s.gang->pid, SIGINT);
        s.gang->finish(120000);
    }
    usleep(2500000);  // the killed stations' leases have expired

    std::map<std::string, std::string> states;  // address: its state now
    run_result rows = run_program({pg_server::bin_dir() + "/psql", "-X", "-At", "-F", " ", url, "-c",
                                   "SELECT to_hex(address), state FROM pelmo4rix.address_states"},
                                  cwd.path, "", false, 30000, true);
    std::istringstream in(rows.output);
    for (std::string hex_address, state; in >> hex_address >> state;)
        states[lap_address(static_cast<int>(strtol(hex_address.c_str(), nullptr, 16) & 0xFFFFFF))] = state;
    std::map<std::string, int> on_units;
    std::string flashes;
    for (vunit* unit : units) {
        const std::vector<uint8_t> flash = vunit_flash(unit);
        const std::string address = complete_units_address(flash, FIRST_LAP, LAST_LAP);
        flashes += address + " s0 " + hex(std::vector<uint8_t>(flash.begin(), flash.begin() + 8)) + " info " +
                   hex(std::vector<uint8_t>(flash.begin() + INFO_SECTOR_ADDRESS, flash.begin() + INFO_SECTOR_ADDRESS + 8)) + "\n";
        if (address.empty())
            continue;
        on_units[address]++;
        EXPECT_TRUE(states[address] == "good" || states[address] == "in_doubt")
            << address << " is on a complete unit but " << states[address];
    }
    for (const auto& [address, count] : on_units)
        EXPECT_EQ(count, 1) << address << " on more than one complete unit";
    std::string dump = rows.output + rows.errors + flashes;
    for (const auto& [address, count] : on_units)
        dump += address + " x" + std::to_string(count) + "\n";
    SCOPED_TRACE(dump + ended + stations[0].gang->output + stations[1].gang->output);
    for (const std::string& address : good_addresses())
        EXPECT_EQ(on_units.count(address), 1u) << address << " is good but on no complete unit";
    EXPECT_GT(on_units.size(), 0u) << "some units were completed";
}

}  // namespace
