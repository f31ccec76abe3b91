// The shared address pool end to end: a database of each test's own on the suite's PostgreSQL
// server, gangs and the front end as real processes on virtual units, each station with its own
// device directory. Checked in the programs' output, in `pool status` and `pool records`, and on
// each unit's flash.
#include <signal.h>

#include <algorithm>
#include <map>
#include <set>

#include "image/image.h"
#include "link/frames.h"
#include "support/gang_process.h"
#include "support/json.h"
#include "support/pg_server.h"
#include "support/session.h"
#include "support/unit_fixture.h"

namespace {

constexpr char FIRST[] = "0604:03:000100";
constexpr char LAST[] = "0604:03:000109";  // a range of 10
constexpr char STATION_PASSWORD[] = "s3cret-station";

// The rights a station's role needs in the pool's database `db`, as the engineer's guide gives them.
std::string station_rights(const std::string& role, const std::string& db)
{
    return "GRANT CONNECT ON DATABASE " + db + " TO " + role + ";"
           "\\c " + db + "\n"
           "GRANT USAGE ON SCHEMA pelmo4rix TO " + role + ";"
           "GRANT SELECT ON ALL TABLES IN SCHEMA pelmo4rix TO " + role + ";"
           "GRANT EXECUTE ON FUNCTION pelmo4rix.renew, pelmo4rix.reserve, pelmo4rix.note_phase, pelmo4rix.finish,"
           " pelmo4rix.end_instance, pelmo4rix.keep, pelmo4rix.newest_good_version TO " + role + ";";
}

struct pool_line {
    std::string time, port, address, result, station;
    int error_code;
};

class pool_test : public unit_test {
protected:
    pg_database pool;
    temp_dir cwd;
    std::string url;

    void SetUp() override
    {
        unit_test::SetUp();
        CREATE_PG_DATABASE(pool);
        url = pool.url();
    }

    // `pelmo4rix ARGS` in cwd on the test's device directory; standard error in the output.
    run_result pelmo4rix(const std::vector<std::string>& args, int timeout_ms = 30000)
    {
        std::vector<std::string> argv = {program_path("pelmo4rix")};
        argv.insert(argv.end(), args.begin(), args.end());
        return run_program(argv, cwd.path, "", false, timeout_ms);
    }

    void init_range(const std::string& first = FIRST, const std::string& last = LAST)
    {
        run_result r = pelmo4rix({"pool", "init", "--pool", url, "--first", first, "--last", last});
        ASSERT_EQ(r.exit_code, 0) << r.output;
    }

    // A field of `pool status --json`: its number, or its text for an address.
    std::string status(const std::string& key)
    {
        run_result r = run_program({program_path("pelmo4rix"), "pool", "status", "--pool", url, "--json"}, cwd.path, "",
                                   false, 30000, true);
        EXPECT_EQ(r.exit_code, 0) << r.output << r.errors;
        json status = parse_json(r.output);
        if (!status.is_object() || !status.contains(key))
            return "missing";
        return status[key].is_string() ? status[key].get<std::string>() : status[key].dump();
    }

    std::vector<pool_line> records()
    {
        run_result r = run_program({program_path("pelmo4rix"), "pool", "records", "--pool", url}, cwd.path, "", false,
                                   30000, true);
        EXPECT_EQ(r.exit_code, 0) << r.errors;
        std::vector<std::vector<std::string>> rows = csv_rows(r.output);
        EXPECT_FALSE(rows.empty());
        if (!rows.empty()) {
            EXPECT_EQ(rows[0], (std::vector<std::string>{"time", "port", "address", "image_version", "image_checksum",
                                                         "result", "error_code", "attempts", "seconds", "station"}));
        }
        std::vector<pool_line> lines;
        for (size_t i = 1; i < rows.size(); i++) {
            const std::vector<std::string>& f = rows[i];
            EXPECT_EQ(f.size(), 10u) << r.output;
            if (f.size() == 10)
                lines.push_back({f[0], f[1], f[2], f[5], f[9], std::stoi(f[6])});
        }
        return lines;
    }

    // A unit on `port` of the device directory `dir` whose programming takes about a second.
    vunit* plug(const std::string& dir, const std::string& port, const std::vector<std::string>& extra = {})
    {
        std::vector<std::string> options = {"--device-dir", dir, "--write-ms", "4"};
        options.insert(options.end(), extra.begin(), extra.end());
        return start_unit(options, port);
    }

    // Waits until `pool status` says `key` is `value`; a closed connection takes the server
    // a moment to notice.
    bool status_becomes(const std::string& key, const std::string& value)
    {
        for (int i = 0; i < 50; i++) {
            if (status(key) == value)
                return true;
            usleep(100000);
        }
        return false;
    }
};

// The journal's lines split at their tabs.
std::vector<std::vector<std::string>> journal_lines(const std::string& journal)
{
    std::vector<std::vector<std::string>> lines;
    size_t start = 0;
    for (size_t end; (end = journal.find('\n', start)) != std::string::npos; start = end + 1) {
        lines.emplace_back();
        std::string line = journal.substr(start, end - start);
        size_t from = 0;
        for (size_t tab; (tab = line.find('\t', from)) != std::string::npos; from = tab + 1)
            lines.back().push_back(line.substr(from, tab - from));
        lines.back().push_back(line.substr(from));
    }
    EXPECT_EQ(start, journal.size()) << "every journal line ends";
    return lines;
}

// NAP:UAP:LAP of an address as the journal writes it: a number, the NAP's bytes highest.
std::string journal_address(const std::string& number)
{
    const long long n = std::stoll(number);
    char text[24];
    snprintf(text, sizeof text, "%04llx:%02llx:%06llx", n >> 32 & 0xFFFF, n >> 24 & 0xFF, n & 0xFFFFFF);
    return text;
}

std::string address_on(const std::vector<pool_line>& lines, const std::string& station, const std::string& port)
{
    for (const pool_line& l : lines)
        if (l.station == station && l.port == port && l.result == "good")
            return l.address;
    return "";
}

TEST_F(pool_test, TwoGangsAndAFlashDrawFromOneRange)
{
    init_range();
    const std::string station = pool.role("station", "LOGIN PASSWORD '" + std::string(STATION_PASSWORD) + "'");
    ASSERT_TRUE(pool.sql(station_rights(station, pool.name))) << pool.server->error;
    temp_dir dev_a, dev_b, cwd_a, cwd_b;
    const char* ports[4] = {"COM7", "COM8", "COM9", "COM10"};
    std::map<std::string, vunit*> units;  // station/port
    for (const char* port : ports) {
        units[std::string("A/") + port] = plug(dev_a.path, port);
        units[std::string("B/") + port] = plug(dev_b.path, port);
    }
    units["C/COM7"] = plug(dev.path, "COM7");
    gang_process a, b;
    a.start({"--pool", url, "--station", "A", "--units", "4"}, cwd_a.path, dev_a.path);
    // The second gang as the least-privileged role, over TCP with a password.
    b.start({"--pool", pool.tcp_url(station, STATION_PASSWORD), "--station", "B", "--units", "4"},
            cwd_b.path, dev_b.path);
    run_result flash = pelmo4rix({"--quiet", "flash", "--pool", url, "--station", "C"});
    EXPECT_EQ(flash.exit_code, 0) << flash.output;
    ASSERT_EQ(a.finish(), 0) << a.output;
    ASSERT_EQ(b.finish(), 0) << b.output;
    EXPECT_EQ(b.output.find(STATION_PASSWORD), std::string::npos) << "the password is never shown";

    std::vector<pool_line> lines = records();
    ASSERT_EQ(lines.size(), 9u);
    std::set<std::string> addresses;
    for (const pool_line& l : lines) {
        EXPECT_EQ(l.result, "good");
        EXPECT_TRUE(l.address >= FIRST && l.address <= LAST) << l.address;
        addresses.insert(l.address);
    }
    EXPECT_EQ(addresses.size(), 9u) << "every address distinct";
    for (const auto& [where, unit] : units) {
        std::string address = address_on(lines, where.substr(0, 1), where.substr(2));
        EXPECT_TRUE(holds_address(unit, address)) << where << " holds " << address;
    }
    for (auto [key, value] : {std::pair<const char*, const char*>{"good", "9"}, {"free", "1"}, {"in_progress", "0"},
                              {"in_doubt", "0"}, {"given_back", "0"}, {"first", FIRST}, {"last", LAST},
                              {"next", LAST}})
        EXPECT_EQ(status(key), value) << key;
}

// A line whose pool recorded 6.05 good refuses an older package before any unit, naming both
// versions, in the gang and in flash; --allow-downgrade programs it, and the unit's record
// names the version it went below. The stations' role asks the server, as it may.
TEST_F(pool_test, AnImageOlderThanThePoolsNewestGoodOneIsRefusedUnlessAllowed)
{
    init_range();
    const std::string station = pool.role("station", "LOGIN PASSWORD '" + std::string(STATION_PASSWORD) + "'");
    ASSERT_TRUE(pool.sql(station_rights(station, pool.name))) << pool.server->error;
    const std::string station_url = pool.tcp_url(station, STATION_PASSWORD);
    write_file(cwd / "fw.bin", std::string(firmware_image, firmware_image + IMAGE_SIZE));
    ASSERT_EQ(pelmo4rix({"package", "keygen", "--out", "release"}).exit_code, 0);
    ASSERT_EQ(pelmo4rix({"package", "make", "--key", "release.key", "--image", "fw.bin", "--version", "6.01", "--out",
                         "old.p4pkg"})
                  .exit_code,
              0);
    write_file(cwd / "hook.sh", "#!/bin/sh\ncat >> units.json\n");
    chmod((cwd / "hook.sh").c_str(), 0755);
    plug(dev.path, "COM7");
    ASSERT_EQ(pelmo4rix({"--quiet", "flash", "--pool", station_url, "--station", "A"}).exit_code, 0);  // 6.05 good

    const std::string refusal = "the image's version 6.01 is older than 6.05, the newest version the pool has "
                                "recorded good (--allow-downgrade programs it all the same)";
    const std::vector<std::string> old = {"--image", cwd / "old.p4pkg", "--trust", cwd / "release.pub"};
    std::vector<std::string> gang_args = {"--pool", station_url, "--station", "A", "--units", "1", "--on-unit",
                                          "./hook.sh"};
    gang_args.insert(gang_args.end(), old.begin(), old.end());
    std::vector<std::string> refused_args = {"gang"};
    refused_args.insert(refused_args.end(), gang_args.begin(), gang_args.end());
    run_result refused = pelmo4rix(refused_args);
    EXPECT_EQ(refused.exit_code, 24) << refused.output;
    EXPECT_NE(refused.output.find(refusal), std::string::npos) << refused.output;
    std::vector<std::string> flash_args = {"--quiet", "flash", "--pool", station_url, "--station", "A"};
    flash_args.insert(flash_args.end(), old.begin(), old.end());
    run_result flash = pelmo4rix(flash_args);
    EXPECT_EQ(flash.exit_code, 24);
    EXPECT_NE(flash.output.find(refusal), std::string::npos) << flash.output;
    EXPECT_EQ(records().size(), 1u) << "no unit programmed";

    gang_args.push_back("--allow-downgrade");
    gang_process allowed;
    allowed.start(gang_args, cwd.path);
    ASSERT_EQ(allowed.finish(), 0) << allowed.output;
    EXPECT_NE(allowed.output.find("programming version 6.01, older than 6.05 that the pool has recorded good"),
              std::string::npos)
        << allowed.output;
    std::vector<pool_line> lines = records();
    ASSERT_EQ(lines.size(), 2u);
    const std::string unit = read_file(cwd / "units.json");
    EXPECT_NE(unit.find("\"image_version\":\"6.01\""), std::string::npos) << unit;
    EXPECT_NE(unit.find("\"downgraded_from\":\"6.05\"}"), std::string::npos) << unit;
}

TEST_F(pool_test, AFailedUnitsAddressGoesToTheNextUnitOfAnyStation)
{
    init_range();
    temp_dir dev_gang;
    // Unplugged before its information sector: the unit can't hold the address.
    plug(dev_gang.path, "COM7", {"--fault", "unplug-after-sectors:10"});
    gang_process gang;
    gang.start({"--pool", url, "--station", "G", "--units", "1", "--attempts", "1"}, cwd.path, dev_gang.path);
    ASSERT_EQ(gang.finish(), 28) << gang.output;
    EXPECT_NE(gang.output.find("COM7 " + address_text(0x100) + " failed error_code 15"), std::string::npos)
        << gang.output;
    EXPECT_EQ(status("given_back"), "1");
    EXPECT_EQ(status("free"), "10") << "an address given back is free again";
    EXPECT_NE(gang.output.find(", 10 addresses left\n"), std::string::npos) << "the gang counts as status does\n"
                                                                          << gang.output;
    // The global options reach pool as any other command.
    run_result json = run_program({program_path("pelmo4rix"), "--json", "pool", "status", "--pool", url}, cwd.path, "",
                                  false, 30000, true);
    EXPECT_EQ(json.exit_code, 0) << json.errors;
    EXPECT_EQ(json.output.rfind("{\"ok\":true,\"command\":\"pool\",", 0), 0u) << json.output;
    EXPECT_NE(json.output.find("\"free\":10,"), std::string::npos) << json.output;
    run_result quiet = pelmo4rix({"--quiet", "pool", "status", "--pool", url});
    EXPECT_EQ(quiet.exit_code, 0) << quiet.output;
    EXPECT_NE(quiet.output.find("\nfree         10\n"), std::string::npos) << quiet.output;

    vunit* next = plug(dev.path, "COM7");
    // A station name that a spreadsheet would run as a formula is refused; one that an older
    // version stored is written as text.
    EXPECT_EQ(pelmo4rix({"--quiet", "flash", "--pool", url, "--station", "@SUM(1)"}).exit_code, 2);
    run_result flash = pelmo4rix({"--quiet", "flash", "--pool", url, "--station", "F"});
    ASSERT_EQ(flash.exit_code, 0) << flash.output;
    ASSERT_TRUE(pool.sql("UPDATE pelmo4rix.records SET station = '@SUM(1)' WHERE station = 'F'")) << pool.server->error;
    EXPECT_TRUE(holds_address(next, address_text(0x100))) << "the address given back is taken first";
    std::vector<pool_line> lines = records();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0].result, "failed");
    EXPECT_EQ(lines[0].error_code, 15);
    EXPECT_EQ(lines[0].station, "G");
    EXPECT_EQ(lines[1].address, address_text(0x100));
    EXPECT_EQ(lines[1].station, "'@SUM(1)") << "written as text";
    EXPECT_EQ(status("next"), address_text(0x101));
}

TEST_F(pool_test, AKilledGangLeavesItsAddressInDoubtUntilReleased)
{
    init_range();
    ASSERT_EQ(pelmo4rix({"pool", "init", "--pool", url, "--lease", "2"}).exit_code, 0) << "in doubt once 2 s pass";
    temp_dir dev_gang;
    start_unit({"--device-dir", dev_gang.path, "--write-ms", "50"}, "COM7");  // about 13 s of writing
    gang_process gang;
    gang.start({"--pool", url, "--station", "G"}, cwd.path, dev_gang.path);
    ASSERT_TRUE(gang.wait_for("COM7 " + address_text(0x100) + " write")) << gang.output;
    EXPECT_EQ(status("in_progress"), "1");
    kill(gang.pid, SIGKILL);
    gang.finish();
    EXPECT_TRUE(status_becomes("in_doubt", "1"));
    EXPECT_EQ(status("in_progress"), "0");

    vunit* second = plug(dev.path, "COM7");
    ASSERT_EQ(pelmo4rix({"--quiet", "flash", "--pool", url}).exit_code, 0);
    EXPECT_TRUE(holds_address(second, address_text(0x101))) << "the address in doubt is not handed out";

    struct refusal {
        const char* address;
        const char* why;
    } refusals[] = {{"0604:03:000101", "it is good"}, {"0604:03:000105", "it was never handed out"}};
    for (const refusal& r : refusals) {
        run_result release = pelmo4rix({"pool", "release", "--pool", url, r.address});
        EXPECT_EQ(release.exit_code, 2) << release.output;
        EXPECT_NE(release.output.find(r.why), std::string::npos) << release.output;
    }
    run_result release = pelmo4rix({"pool", "release", "--pool", url, address_text(0x100)});
    ASSERT_EQ(release.exit_code, 0) << release.output;
    EXPECT_EQ(status("in_doubt"), "0");
    stop_unit(second);
    vunit* third = plug(dev.path, "COM7");
    ASSERT_EQ(pelmo4rix({"--quiet", "flash", "--pool", url}).exit_code, 0);
    EXPECT_TRUE(holds_address(third, address_text(0x100))) << "released, it is used again";
}

TEST_F(pool_test, TheServerAwayWhileUnitsAreProgrammed)
{
    pg_server server;  // its own: it is stopped and started again
    START_PG_SERVER(server);
    ASSERT_TRUE(server.sql("CREATE DATABASE pool")) << server.error;
    url = server.url("pool");
    init_range();
    temp_dir dev_gang;
    for (const char* port : {"COM7", "COM8"})
        start_unit({"--device-dir", dev_gang.path, "--write-ms", "16"}, port);  // about 4 s of writing
    gang_process gang;
    gang.start({"--pool", url, "--station", "G", "--units", "3"}, cwd.path, dev_gang.path);
    ASSERT_TRUE(gang.wait_for_count(" write\n", 2)) << "both units writing\n" << gang.output;
    ASSERT_TRUE(server.stop()) << server.error;
    vunit* late = plug(dev_gang.path, "COM9");  // plugged while the server is away
    ASSERT_TRUE(gang.wait_for("waiting for the pool server")) << gang.output;
    for (auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30); gang.count("until the pool server answers") < 2;)
        ASSERT_TRUE(gang.read_more(deadline)) << "both results go to the journal\n" << gang.output;
    EXPECT_EQ(gang.count(" good, attempts 1"), 2) << gang.output;
    const std::string journal = read_file(cwd / "pool-journal.txt");
    std::set<std::string> journaled;
    for (const std::vector<std::string>& f : journal_lines(journal)) {
        ASSERT_EQ(f.size(), 12u) << journal;
        EXPECT_EQ(std::vector<std::string>(f.begin() + 1, f.begin() + 2), std::vector<std::string>{"good"});
        EXPECT_EQ(std::vector<std::string>(f.begin() + 3, f.begin() + 6), (std::vector<std::string>{"1", "0", "1"}))
            << "good, error_code 0, attempts 1";
        EXPECT_EQ(std::vector<std::string>(f.begin() + 9, f.end()), (std::vector<std::string>{"6.05", "3922BA1C", "G"}));
        journaled.insert(f[8] + " " + journal_address(f[2]));
    }
    EXPECT_EQ(journaled.size(), 2u) << "both results flushed to the journal\n" << journal;
    for (const std::string& result : journaled)
        EXPECT_NE(gang.output.find(result + " good"), std::string::npos) << result << "\n" << gang.output;
    ASSERT_TRUE(took_more_frames(late, CMD_PROBE, 0, 4)) << "the gang sees the unit: probes answered";
    gang.read_available();
    EXPECT_EQ(gang.count("COM9 "), 0) << "no unit starts without a reservation\n" << gang.output;
    ASSERT_TRUE(server.start()) << server.error;
    ASSERT_EQ(gang.finish(), 0) << gang.output;
    EXPECT_NE(gang.output.find("answers again"), std::string::npos) << gang.output;

    std::vector<pool_line> lines = records();
    ASSERT_EQ(lines.size(), 3u) << gang.output;
    std::set<std::string> addresses;
    for (const pool_line& l : lines)
        addresses.insert(l.address);
    EXPECT_EQ(addresses, (std::set<std::string>{address_text(0x100), address_text(0x101), address_text(0x102)}));
    EXPECT_TRUE(holds_address(late, address_on(lines, "G", "COM9"))) << gang.output;
    EXPECT_EQ(status("good"), "3");
    EXPECT_EQ(status("in_progress"), "0");
    EXPECT_EQ(read_file(cwd / "pool-journal.txt"), "") << "everything in the journal was sent";

    // A gang that died after sending, before it cleared its journal, sends it again: no harm.
    // A line the server refuses (no reservation of that number) stays, and the gang says why.
    const std::string refused = "999999\tgood\t6610616795392\t1\t0\t1\t1.0\t2026-12-10T11:52:54Z\tCOM7\t6.05\t3922BA1C\tG\n";
    write_file(cwd / "pool-journal.txt", journal + refused);
    gang_process again;
    again.start({"--pool", url, "--ports", "COM99"}, cwd.path, dev_gang.path);
    ASSERT_TRUE(again.wait_for("gang pool ")) << again.output;
    kill(again.pid, SIGINT);
    EXPECT_EQ(again.finish(), 0) << again.output;
    EXPECT_EQ(records().size(), 3u) << "nothing repeated";
    EXPECT_EQ(read_file(cwd / "pool-journal.txt"), refused) << "the refused line is kept as it was";
    EXPECT_NE(again.output.find("results in the journal pool-journal.txt can't be stored: "), std::string::npos)
        << again.output;
}

// A second gang on the same journal is refused while the first runs.
TEST_F(pool_test, TheJournalServesOneGang)
{
    init_range();
    gang_process first;
    first.start({"--pool", url, "--ports", "COM99"}, cwd.path, dev.path);
    ASSERT_TRUE(first.wait_for("gang pool ")) << first.output;
    run_result second = pelmo4rix({"gang", "--pool", url, "--ports", "COM98"});
    EXPECT_EQ(second.exit_code, 25) << second.output;
    EXPECT_NE(second.output.find("the journal pool-journal.txt is used by another gang"), std::string::npos)
        << second.output;
    kill(first.pid, SIGINT);
    EXPECT_EQ(first.finish(), 0) << first.output;
}

TEST_F(pool_test, TheRangeUsedUp)
{
    init_range(FIRST, FIRST);  // one address
    temp_dir dev_gang;
    plug(dev_gang.path, "COM7");
    plug(dev_gang.path, "COM8");
    gang_process gang;
    gang.start({"--pool", url, "--ports", "COM7,COM8"}, cwd.path, dev_gang.path);
    EXPECT_EQ(gang.finish(), 32) << gang.output;
    EXPECT_NE(gang.output.find("only 0 addresses left in the pool"), std::string::npos) << gang.output;
    EXPECT_NE(gang.output.find("has no address left: no more units"), std::string::npos) << gang.output;
    EXPECT_EQ(gang.count(" good, attempts 1"), 1) << "the unit in progress is finished\n" << gang.output;
    plug(dev.path, "COM7");
    run_result flash = pelmo4rix({"--quiet", "flash", "--pool", url});
    EXPECT_EQ(flash.exit_code, 32) << flash.output;
    EXPECT_EQ(status("next"), "null");
    EXPECT_EQ(status("free"), "0");
}

TEST_F(pool_test, WhatIsRefusedBeforeAnyUnit)
{
    pg_database empty;
    CREATE_PG_DATABASE(empty);
    const std::string station = pool.role("station", "LOGIN PASSWORD 'right'");
    init_range();
    const std::string server = "127.0.0.1:" + std::to_string(pool.server->port);
    struct refusal {
        const char* name;
        std::vector<std::string> args;
        int exit_code;
        std::string message;
    } cases[] = {
        {"a wrong password", {"--pool", pool.tcp_url(station, "wrong")}, 33,
         "the pool server " + server + "/" + pool.name + " refused the connection"},
        {"no server at that address", {"--pool", "postgresql://" + station + ":right@127.0.0.1:1/pool"}, 33,
         "the pool server 127.0.0.1:1/pool can't be reached"},
        {"a database without a pool", {"--pool", empty.url()}, 33, "no pool is set up there"},
        {"an address file and a pool", {"--pool", url, "--address-file", "info.ini"}, 2, "give --pool or "},
    };
    for (const refusal& c : cases)
        for (const char* program : {"gang", "flash"}) {
            std::vector<std::string> args = {program};
            if (std::string(program) == "flash")
                args = {"--port", "COM7", "flash"};
            args.insert(args.end(), c.args.begin(), c.args.end());
            run_result r = pelmo4rix(args);
            EXPECT_EQ(r.exit_code, c.exit_code) << c.name << " " << program << "\n" << r.output;
            EXPECT_NE(r.output.find(c.message), std::string::npos) << c.name << " " << program << "\n" << r.output;
            EXPECT_EQ(r.output.find("wrong"), std::string::npos) << "no password shown\n" << r.output;
        }
    struct bad_setup {
        const char* name;
        std::vector<std::string> args;
        std::string message;
    } setups[] = {
        {"an overlapping range", {"--first", "0604:03:000109", "--last", "0604:03:000200"}, "overlaps"},
        {"a range across UAPs", {"--first", "0604:03:ffff00", "--last", "0604:04:000010"}, "only vary the LAP"},
        {"a range backwards", {"--first", "0604:05:000010", "--last", "0604:05:000001"}, "comes after"},
    };
    for (const bad_setup& s : setups) {
        std::vector<std::string> args = {"pool", "init", "--pool", url};
        args.insert(args.end(), s.args.begin(), s.args.end());
        run_result r = pelmo4rix(args);
        EXPECT_EQ(r.exit_code, 2) << s.name << "\n" << r.output;
        EXPECT_NE(r.output.find(s.message), std::string::npos) << s.name << "\n" << r.output;
    }
}

}  // namespace
