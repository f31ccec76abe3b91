// The gang station end to end: `pelmo4rix gang` as a real process, virtual units on their own
// ports, each unit programmed by a worker process of its own. Checked in the gang's event
// lines, on each unit's flash, in the address file and in the record.
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <map>
#include <set>
#include <sstream>

#include "device/flash_layout.h"
#include "image/image.h"
#include "link/frames.h"
#include "link/state.h"
#include "support/gang_process.h"
#include "support/session.h"
#include "support/unit_fixture.h"

namespace {

struct record_line {
    std::string time, port, address, version, checksum, result;
    int error_code, attempts;
};

class gang_test : public unit_test {
protected:
    temp_dir cwd;
    gang_process gang;

    // A unit that takes about 4 s to write (20 ms a sector, the rest at once): long enough for
    // units side by side and for a stop while they write, without the line's 16 s a unit.
    vunit* start_slow_unit(const std::string& name, const std::vector<std::string>& extra = {})
    {
        std::vector<std::string> options = {"--write-ms", "20"};
        options.insert(options.end(), extra.begin(), extra.end());
        return start_unit(options, name);
    }

    // Unplugs `unit` and waits until the gang has seen it go.
    void unplug(vunit* unit, const std::string& port)
    {
        vunit_unplug(unit);
        ASSERT_TRUE(gang.wait_for(port + " unit gone", 10000)) << gang.output;
        stop_unit(unit);
    }

    std::string address_file() { return read_file(cwd / "info.ini"); }

    // The record's lines split into fields, the header first.
    std::vector<std::vector<std::string>> record_fields() { return csv_rows(read_file(cwd / "production.csv")); }

    std::vector<record_line> records()
    {
        std::string file = read_file(cwd / "production.csv");
        std::vector<record_line> lines;
        EXPECT_EQ(file.substr(0, file.find('\n') + 1),
                  "time,port,address,image_version,image_checksum,result,error_code,attempts,seconds\n");
        std::vector<std::vector<std::string>> all = csv_rows(file);
        for (size_t i = 1; i < all.size(); i++) {
            const std::vector<std::string>& f = all[i];
            EXPECT_EQ(f.size(), 9u) << i;
            if (f.size() == 9)
                lines.push_back({f[0], f[1], f[2], f[3], f[4], f[5], std::stoi(f[6]), std::stoi(f[7])});
        }
        return lines;
    }
};

// The address on the record line of `port` with that result; empty when there is none.
std::string address_on(const std::vector<record_line>& lines, const std::string& port, bool good)
{
    for (const record_line& line : lines)
        if (line.port == port && (line.result == "good") == good)
            return line.address;
    return "";
}

TEST_F(gang_test, TheWorkerReportsAsJsonLines)
{
    vunit* unit = start_unit({}, "COM7");
    run_result r = run_program({program_path("pelmo4rix"), "--port", "COM7", "--events", "--quiet", "flash", "--address",
                                "0604:03:00abcd", "--attempts", "2"},
                               cwd.path, "", false, 30000);
    ASSERT_EQ(r.exit_code, 0) << r.output;
    std::vector<std::string> lines;
    std::istringstream in(r.output);
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    ASSERT_GE(lines.size(), 3u) << r.output;
    EXPECT_EQ(lines.front(), "{\"event\":\"attempt\",\"attempt\":1}");
    for (const char* phase : {"erase", "write", "verify"}) {
        std::string begins = std::string("{\"event\":\"progress\",\"phase\":\"") + phase + "\",\"step\":-1,";
        EXPECT_NE(r.output.find(begins), std::string::npos) << phase << "\n" << r.output;
    }
    EXPECT_NE(r.output.find("{\"event\":\"progress\",\"phase\":\"verify\",\"step\":1,\"total\":1}"), std::string::npos);
    EXPECT_EQ(lines.back().rfind("{\"ok\":true,\"command\":\"flash\"", 0), 0u) << "the result object comes last";
    EXPECT_TRUE(holds_address(unit, "0604:03:00abcd"));
}

TEST_F(gang_test, ThreeUnitsAtOnceGetThreeConsecutiveAddresses)
{
    vunit* units[3] = {start_slow_unit("COM7"), start_slow_unit("COM8"), start_slow_unit("COM9")};
    gang.start({"--units", "3"}, cwd.path);
    ASSERT_EQ(gang.finish(), 0) << gang.output;

    EXPECT_EQ(address_file(), address_file_line(0x103)) << "the file advanced by three";
    std::vector<record_line> lines = records();
    ASSERT_EQ(lines.size(), 3u);
    std::set<std::string> addresses;
    const char* ports[3] = {"COM7", "COM8", "COM9"};
    for (int i = 0; i < 3; i++) {
        std::string address = address_on(lines, ports[i], true);
        addresses.insert(address);
        EXPECT_TRUE(holds_address(units[i], address)) << ports[i] << " holds " << address;
    }
    EXPECT_EQ(addresses, (std::set<std::string>{address_text(0x100), address_text(0x101), address_text(0x102)}));
    for (const record_line& line : lines) {
        EXPECT_EQ(line.version, "6.05");
        EXPECT_EQ(line.checksum, "3922BA1C");
        EXPECT_EQ(line.error_code, 0);
        EXPECT_EQ(line.attempts, 1);
        EXPECT_EQ(line.time.size(), strlen("2026-12-10T11:39:43Z")) << line.time;
    }
    // The three were programmed side by side: each started before any of them ended.
    size_t last_start = gang.output.rfind(" start, worker "), first_good = gang.output.find(" good, attempts");
    EXPECT_LT(last_start, first_good) << gang.output;
}

TEST_F(gang_test, AFailedUnitsAddressGoesToTheNextUnitPlugged)
{
    // Its eleventh sector write gets no answer: it fails before its information sector.
    vunit* bad = start_slow_unit("COM7", {"--fault", "no-reply:14:100:10"});
    vunit* good[2] = {start_slow_unit("COM8"), start_slow_unit("COM9")};
    gang.start({"--units", "4", "--attempts", "1"}, cwd.path);
    ASSERT_TRUE(gang.wait_for_each({"COM7 " + address_text(0x100) + " failed error_code 15",
                                    "COM9 " + address_text(0x102) + " good"}))
        << gang.output;
    unplug(bad, "COM7");
    vunit* replacement = start_slow_unit("COM7");
    ASSERT_EQ(gang.finish(), 28) << "a unit failed\n" << gang.output;

    EXPECT_TRUE(holds_address(good[0], address_text(0x101)));
    EXPECT_TRUE(holds_address(good[1], address_text(0x102)));
    EXPECT_TRUE(holds_address(replacement, address_text(0x100))) << "the failed unit's address was used next";
    EXPECT_EQ(address_file(), address_file_line(0x103));
    std::vector<record_line> lines = records();
    ASSERT_EQ(lines.size(), 4u);
    // The three units of the first round end at about the same time: their lines come in any order.
    auto failed = std::find_if(lines.begin(), lines.end(), [](const record_line& l) { return l.result == "failed"; });
    ASSERT_NE(failed, lines.end());
    EXPECT_EQ(std::count_if(lines.begin(), lines.end(), [](const record_line& l) { return l.result == "failed"; }), 1);
    EXPECT_EQ(failed->port, "COM7");
    EXPECT_EQ(failed->error_code, 15) << "a sector's write failed";
    EXPECT_EQ(failed->address, address_text(0x100));
    EXPECT_EQ(address_on(lines, "COM7", true), address_text(0x100));
}

// A missing address file of another name is made with the default address, and the warning
// names it; when the last unit fails, the closing line names the address the file holds.
TEST_F(gang_test, AnotherAddressFileAndAFailedLastUnit)
{
    start_unit({"--fault", "no-reply:2"}, "COM7");  // its loader never answers: nothing is written
    run_result r = run_program({program_path("pelmo4rix"), "gang", "--address-file", "alt.ini", "--units", "1",
                                "--attempts", "1"},
                               cwd.path, "", false, 30000);
    ASSERT_EQ(r.exit_code, 28) << r.output;
    EXPECT_NE(r.output.find("WARMING !!!! Faile to open \"alt.ini\" file. Use default"), std::string::npos) << r.output;
    EXPECT_EQ(r.output.find("info.ini"), std::string::npos) << r.output;
    // Failed before its information sector (on a busy machine maybe before the loader): the
    // address goes back.
    EXPECT_NE(r.output.find("COM7 " + address_text(0x100) + " failed error_code "), std::string::npos) << r.output;
    EXPECT_EQ(read_file(cwd / "alt.ini"), address_file_line(0x100)) << "the failed unit's address is the next one";
    EXPECT_NE(r.output.find(", next address " + address_text(0x100) + "\n"), std::string::npos) << r.output;
}

TEST_F(gang_test, AUnitIsProgrammedOnceUntilItIsReplaced)
{
    vunit* first = start_unit({}, "COM7");
    gang.start({"--units", "2"}, cwd.path);
    ASSERT_TRUE(gang.wait_for("COM7 " + address_text(0x100) + " good")) << gang.output;
    // Left on its port through more rounds of probes (one or two probe frames each), it still
    // answers: not programmed again.
    ASSERT_TRUE(took_more_frames(first, CMD_PROBE, frames_of_kind(first, CMD_PROBE), 4)) << "the gang probes on";
    gang.read_available();
    EXPECT_EQ(gang.count(" start, worker "), 1) << gang.output;
    unplug(first, "COM7");
    vunit* second = start_unit({}, "COM7");
    ASSERT_EQ(gang.finish(), 0) << gang.output;
    EXPECT_TRUE(holds_address(second, address_text(0x101)));
    EXPECT_EQ(records().size(), 2u);
}

TEST_F(gang_test, AGangKilledMidwayNeverRepeatsAnAddress)
{
    vunit* units[3] = {start_slow_unit("COM7"), start_slow_unit("COM8"), start_slow_unit("COM9")};
    gang.start({"--units", "3"}, cwd.path);
    ASSERT_TRUE(gang.wait_for_count(" write\n", 3)) << "the three units writing\n" << gang.output;
    kill(gang.pid, SIGKILL);
    gang.finish();
    EXPECT_EQ(address_file(), address_file_line(0x103)) << "the three addresses in use were reserved";

    gang_process again;
    again.start({"--units", "3"}, cwd.path);
    ASSERT_EQ(again.finish(), 0) << again.output;
    std::set<std::string> addresses;
    for (const record_line& line : records())
        addresses.insert(line.address);
    EXPECT_EQ(addresses, (std::set<std::string>{address_text(0x103), address_text(0x104), address_text(0x105)}));
    const char* ports[3] = {"COM7", "COM8", "COM9"};
    for (int i = 0; i < 3; i++)
        EXPECT_TRUE(holds_address(units[i], address_on(records(), ports[i], true))) << ports[i];
    EXPECT_EQ(address_file(), address_file_line(0x106));
}

TEST_F(gang_test, AHungWorkerIsEndedAndTheOthersGoOn)
{
    start_slow_unit("COM7");
    vunit* other = start_slow_unit("COM8");
    gang.start({"--units", "2", "--worker-timeout", "5", "--attempts", "1"}, cwd.path);
    const std::string started = "COM7 " + address_text(0x100) + " start, worker ";
    ASSERT_TRUE(gang.wait_for(started) && gang.wait_for("COM7 " + address_text(0x100) + " write")) << gang.output;
    pid_t worker = std::stoi(gang.output.substr(gang.output.find(started) + started.size()));
    kill(worker, SIGSTOP);
    ASSERT_EQ(gang.finish(), 28) << gang.output;
    EXPECT_NE(gang.output.find("COM7 " + address_text(0x100) + " failed error_code 137: the worker was silent for 5 s"),
              std::string::npos)
        << gang.output;
    EXPECT_TRUE(holds_address(other, address_text(0x101)));
    EXPECT_NE(gang.output.find("address given back"), std::string::npos) << "it never reached the information sector";
    EXPECT_EQ(address_file(), address_file_line(0x102)) << "the address after both, though the first went back unused";
}

// A worker killed at each step around the information sector, its unit silent after taking
// that step's frame. From the information sector on the unit may hold the address: it is
// never handed out again. Killed before it, the address is given back to the next unit.
TEST_F(gang_test, AWorkerKilledAroundTheInformationSector)
{
    // The whole plan's frames, counted on a unit programmed to its end: sector 0 is the last write.
    vunit* counted = start_unit({}, "COM7");
    ASSERT_EQ(run_program({program_path("pelmo4rix"), "--port", "COM7", "--quiet", "flash", "--address", "0604:03:00abcd"},
                          cwd.path, "", false, 30000)
                  .exit_code,
              0);
    const int writes = frames_of_kind(counted, CMD_WRITE_SECTOR);
    const int checksums = frames_of_kind(counted, CMD_VERIFY_FLASH);
    ASSERT_GT(writes, 2);
    ASSERT_GE(checksums, 1);
    stop_unit(counted);

    struct step_case {
        const char* name;
        int kind, nth;  // the step's frame: the nth of its kind
        bool kept;      // the address is never handed out again
    } cases[] = {
        {"the last image sector", CMD_WRITE_SECTOR, writes - 1, false},
        {"the information sector", CMD_WRITE_BT_INFO, 1, true},
        {"sector 0", CMD_WRITE_SECTOR, writes, true},
        {"the final checksum", CMD_VERIFY_FLASH, checksums, true},
    };
    for (const step_case& c : cases) {
        SCOPED_TRACE(c.name);
        temp_dir dir;
        const std::string silent = "no-reply:" + std::to_string(c.kind) + ":1000:" + std::to_string(c.nth - 1);
        vunit* unit = start_unit({"--fault", silent}, "COM7");
        gang_process run;
        run.start({"--ports", "COM7", "--units", "1", "--attempts", "1"}, dir.path);
        const std::string started = "COM7 " + address_text(0x100) + " start, worker ";
        ASSERT_TRUE(run.wait_for(started)) << run.output;
        const pid_t worker = std::stoi(run.output.substr(run.seen));
        for (auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
             frames_of_kind(unit, c.kind) < c.nth; usleep(2000))
            ASSERT_LT(std::chrono::steady_clock::now(), deadline) << "the step was never reached\n" << run.output;
        kill(worker, SIGKILL);
        EXPECT_EQ(run.finish(), 28) << run.output;
        EXPECT_NE(run.output.find(c.kept ? ", address not used again" : ", address given back"), std::string::npos)
            << run.output;
        EXPECT_EQ(read_file(dir / "info.ini"), address_file_line(c.kept ? 0x101 : 0x100));
        if (c.kind != CMD_WRITE_BT_INFO) {  // the unit's side: it holds the address once it took that sector
            EXPECT_EQ(holds_address(unit, address_text(0x100)), c.kept);
        }
        stop_unit(unit);
    }
}

TEST_F(gang_test, TheTableOnATerminalEndsWithQ)
{
    start_unit({}, "COM7");
    session table;
    ASSERT_TRUE(table.start("pelmo4rix", cwd.path, dev.path, {"gang"}));
    ASSERT_TRUE(table.wait_for("good 1  failed 0")) << table.transcript;
    table.type("q");
    ASSERT_EQ(table.finish(), 0) << table.transcript;
    for (const char* shown : {"PORT", "ADDRESS", "PHASE", "PROGRESS", "TRY", "RESULT", "TIME",
                              "good 1  failed 0  in progress 0", "[####################] 100%"})
        EXPECT_NE(table.transcript.find(shown), std::string::npos) << shown << "\n" << table.transcript;
    EXPECT_NE(table.transcript.find("\033[4A"), std::string::npos) << "its four lines redrawn in place";
}

TEST_F(gang_test, CtrlCEndsAfterTheUnitsInProgressAndASecondStopsThem)
{
    struct scenario {
        const char* name;
        int interrupts;
        int exit_code;
        const char* result;
        const char* file;  // the address file at the end
    } scenarios[] = {
        {"once: both units are finished", 1, 0, " good, attempts 1", "0604 03 000102 "},
        {"twice: both are stopped, their addresses back in the file", 2, 130, " failed error_code 143: stopped",
         "0604 03 000100 "},
    };
    start_slow_unit("COM7");
    start_slow_unit("COM8");
    for (const scenario& s : scenarios) {
        temp_dir dir;
        gang_process run;
        run.start({}, dir.path);
        ASSERT_TRUE(run.wait_for_count(" write\n", 2)) << "both units writing: " << s.name << "\n" << run.output;
        kill(run.pid, SIGINT);
        ASSERT_TRUE(run.wait_for("ending after the units in progress")) << s.name;
        if (s.interrupts == 2) {
            kill(run.pid, SIGINT);
            ASSERT_TRUE(run.wait_for("stopping the units in progress")) << s.name;
        }
        EXPECT_EQ(run.finish(), s.exit_code) << s.name << "\n" << run.output;
        EXPECT_EQ(run.count(s.result), 2) << s.name << "\n" << run.output;
        EXPECT_EQ(run.count(" start, worker "), 2) << "no unit started after Ctrl+C\n" << run.output;
        EXPECT_EQ(read_file(dir / "info.ini"), s.file) << s.name;
    }
}

TEST_F(gang_test, ARecordThatCanNoLongerBeWrittenStopsTheGang)
{
    start_slow_unit("COM7");
    ASSERT_EQ(mkdir((cwd / "records").c_str(), 0755), 0);
    gang.start({"--record", "records/production.csv"}, cwd.path);
    ASSERT_TRUE(gang.wait_for("COM7 " + address_text(0x100) + " write")) << gang.output;
    ASSERT_EQ(system(("rm -r " + cwd / "records").c_str()), 0);
    EXPECT_EQ(gang.finish(), 29) << gang.output;
    EXPECT_NE(gang.output.find("COM7 0604:03:000100 is NOT in the record records/production.csv: no more units"),
              std::string::npos)
        << gang.output;
    EXPECT_EQ(address_file(), address_file_line(0x101)) << "the programmed unit's address is not handed out again";
}

TEST_F(gang_test, TheStationWritesTheSameRecordForEveryP)
{
    session station;
    ASSERT_TRUE(station.start("pelmo4rix-station", cwd.path, dev.path));
    ASSERT_TRUE(station.wait_for("q: exit program\n>"));
    station.type("p");  // no unit attached: fails at once
    ASSERT_TRUE(station.wait_for("*    WARMING !!!! Failed !!!!!                 *\n")) << station.transcript;
    station.type("\n");
    ASSERT_TRUE(station.wait_for("q: exit program\n>"));
    start_unit({}, "COM7");
    station.type("p");
    ASSERT_TRUE(station.wait_for(" Write BT address into ini file\n"
                                 "\n************************************************\n"
                                 "*            Success                           *\n"))
        << "nothing new on the screen\n" << station.transcript;
    station.type("\nq");
    EXPECT_EQ(station.finish(), 0);

    std::vector<record_line> lines = records();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0].result, "failed");
    EXPECT_EQ(lines[0].address, address_text(0x100));
    EXPECT_EQ(lines[0].attempts, 1);
    EXPECT_EQ(lines[1].result, "good");
    EXPECT_EQ(lines[1].port, "COM7");
    EXPECT_EQ(lines[1].address, address_text(0x100)) << "the failed 'p' kept the address";
    EXPECT_EQ(lines[1].error_code, 0);
    EXPECT_EQ(lines[1].checksum, "3922BA1C");
}

TEST_F(gang_test, WhatIsRefusedBeforeAnyUnit)
{
    session station;  // holds the lock of the address file in `locked`
    temp_dir locked;
    ASSERT_TRUE(station.start("pelmo4rix-station", locked.path, dev.path));
    ASSERT_TRUE(station.wait_for("q: exit program"));
    write_file(cwd / "short.bin", "not an image");
    loopback_listener busy;  // holds a loopback port for the page
    ASSERT_GT(busy.port, 0);
    struct refusal {
        const char* name;
        std::vector<std::string> args;
        int exit_code;
        std::string message;
    } cases[] = {
        {"another station holds the file", {"--address-file", locked / "info.ini"}, 25, "is used by another station"},
        {"an image of the wrong size", {"--image", "short.bin"}, 24, "must be exactly 1040384 bytes"},
        {"a record that can't be written", {"--record", cwd.path}, 29, "can't write the production record"},
        {"an unknown option", {"--unit", "3"}, 2, "unknown option --unit"},
        {"both --ports and --all", {"--ports", "COM7", "--all"}, 2, "give --ports or --all"},
        {"a port named twice", {"--ports", "COM7,COM7"}, 2, "given twice"},
        {"a page port out of range", {"--http", "65536"}, 2, "bad address for --http: 65536"},
        {"a page host without a port", {"--http", "0.0.0.0:"}, 2, "bad address for --http"},
        {"an IPv6 page host without brackets", {"--http", "::1:8080"}, 2, "bad address for --http"},
        {"a page on a port in use", {"--http", "127.0.0.1:" + std::to_string(busy.port)}, 31, "can't serve the page on"},
        {"a negative quarantine", {"--quarantine", "-1"}, 2, "bad number for --quarantine"},
    };
    for (const refusal& c : cases) {
        run_result r = run_program([&] {
            std::vector<std::string> argv = {program_path("pelmo4rix"), "gang"};
            argv.insert(argv.end(), c.args.begin(), c.args.end());
            return argv;
        }(), cwd.path, "", false, 10000);
        EXPECT_EQ(r.exit_code, c.exit_code) << c.name << "\n" << r.output;
        EXPECT_NE(r.output.find(c.message), std::string::npos) << c.name << "\n" << r.output;
    }
    // And the other way round: a station on the file of a running gang is refused.
    gang.start({"--ports", "COM7"}, cwd.path);
    ASSERT_TRUE(gang.wait_for("gang next address"));
    session second;
    ASSERT_TRUE(second.start("pelmo4rix-station", cwd.path, dev.path));
    EXPECT_TRUE(second.wait_for(" Error !!!! \"info.ini\" is used by another station. \n\n")) << second.transcript;
    EXPECT_EQ(second.finish(), 0);
}

// A unit left on COM8 keeps the gang probing: once it has taken six more probe frames (three
// rounds at the least) after a good unit was plugged into the quarantined COM7, the gang has
// had its turns to look at COM7 and left it alone.
TEST_F(gang_test, AQuarantinedPortTakesUnitsAgainOnlyAfterR)
{
    vunit* left = start_unit({}, "COM8");
    vunit* bad = start_unit({"--fault", "bad-crc"}, "COM7");
    session table;
    ASSERT_TRUE(table.start("pelmo4rix", cwd.path, dev.path,
                            {"gang", "--ports", "COM7,COM8", "--attempts", "1", "--quarantine", "1"}));
    for (const char* shown : {"COM7", "check the fixture", "good 1  failed 1  in progress 0", "yield 50%",
                              "r: use the checked fixtures again", "causes: 20 x1 the unit's checksum differs from the image's"})
        ASSERT_TRUE(table.wait_for(shown)) << shown << "\n" << table.transcript;
    vunit_unplug(bad);
    ASSERT_TRUE(table.wait_for("check the fixture, unit gone")) << table.transcript;
    stop_unit(bad);
    vunit* fresh = start_unit({}, "COM7");
    ASSERT_TRUE(took_more_frames(left, CMD_PROBE, frames_of_kind(left, CMD_PROBE), 6)) << "the gang probes on";
    EXPECT_TRUE(vunit_frames(fresh).empty()) << "the gang looked at a unit on a quarantined port";
    table.type("r");
    ASSERT_TRUE(table.wait_for("in use again: COM7")) << table.transcript;
    ASSERT_TRUE(table.wait_for("good 2  failed 1  in progress 0")) << table.transcript;
    EXPECT_TRUE(table.wait_for("yield 67%")) << table.transcript;
    EXPECT_TRUE(holds_image(fresh));
    table.type("q");
    EXPECT_EQ(table.finish(), 28) << table.transcript;
}

// With --only-changed each worker writes what differs: a unit that holds the image gets its
// information sector and sector 0, a blank one all but the image's erased sectors; both
// counts reach the event lines and the record's own columns. The time saved is the whole
// plan's on a typical part (16.51 s) less the unit's run, which took at least its final
// checksum's 200 ms and at most the unit's time in the record (both rounded to 0.1 s).
TEST_F(gang_test, OnlyChangedUnitsAreRecordedWithWhatWasWritten)
{
    const double whole_plan_s = 16.511;
    std::string flash(1024 * 1024, '\xFF');
    memcpy(&flash[0], firmware_image, IMAGE_SIZE);
    write_file(cwd / "image.bin", flash);
    vunit* held = start_unit({"--flash-in", cwd / "image.bin", "--crc-ms", "200"}, "COM7");
    vunit* blank = start_unit({"--crc-ms", "200"}, "COM8");
    gang.start({"--units", "2", "--only-changed"}, cwd.path);
    ASSERT_EQ(gang.finish(), 0) << gang.output;

    std::vector<std::vector<std::string>> lines = record_fields();
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[0], (std::vector<std::string>{"time", "port", "address", "image_version", "image_checksum", "result",
                                                  "error_code", "attempts", "seconds", "written", "skipped",
                                                  "seconds_saved"}));
    std::map<std::string, std::string> written_skipped;
    for (size_t i = 1; i < lines.size(); i++) {
        const std::vector<std::string>& f = lines[i];
        ASSERT_EQ(f.size(), 12u) << f[0];
        written_skipped[f[1]] = f[9] + "," + f[10];
        EXPECT_TRUE(holds_address(f[1] == "COM7" ? held : blank, f[2])) << f[1];
        const double seconds = std::stod(f[8]), saved = std::stod(f[11]);
        EXPECT_LE(saved, whole_plan_s - 0.2 + 0.05) << f[1];
        EXPECT_GE(saved, whole_plan_s - seconds - 0.1) << f[1];
    }
    EXPECT_EQ(written_skipped, (std::map<std::string, std::string>{{"COM7", "2,252"}, {"COM8", "201,53"}}));
    EXPECT_NE(gang.output.find("good, attempts 1, written 2, skipped 252, "), std::string::npos) << gang.output;
    for (vunit* unit : {held, blank})
        EXPECT_TRUE(holds_image(unit));
}

}  // namespace
