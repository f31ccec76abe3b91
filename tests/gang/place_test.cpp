// Slots by their physical place: the gang watches ports by their stable names (serial/by-path
// under the device directory), follows each place when the adapters' numbers change, and names
// each slot by its label on the page and in the record. `pelmo4rix ports` tells the stable
// names and the adapter of each port.
#include <signal.h>

#include <cstring>

#include "gang/gang.h"
#include "support/browser.h"
#include "support/fake_system.h"
#include "support/gang_process.h"
#include "support/http_client.h"
#include "support/json.h"
#include "support/session.h"
#include "support/unit_fixture.h"

namespace {

const std::string PLACES[2] = {"pci-0000:00:14.0-usb-0:1.2:1.0-port0", "pci-0000:00:14.0-usb-0:1.3:1.0-port0"};
const std::string LABELS[2] = {"A1", "A2"};

std::string by_path(int slot) { return "serial/by-path/" + PLACES[slot]; }

class place_test : public unit_test {
protected:
    temp_dir cwd;
    gang_process gang;

    run_result pelmo4rix(const std::vector<std::string>& args)
    {
        std::vector<std::string> argv = {program_path("pelmo4rix")};
        argv.insert(argv.end(), args.begin(), args.end());
        return run_program(argv, cwd.path, "", false, 30000, true);
    }

    // Starts the gang with `args` and its page on a free port of loopback; the page's address.
    std::string start_gang_with_page(std::vector<std::string> args)
    {
        args.insert(args.end(), {"--http", "127.0.0.1:0"});
        gang.start(args, cwd.path);
        const std::string head = "gang page ";
        EXPECT_TRUE(gang.wait_for(head, 10000)) << gang.output;
        const size_t at = gang.output.find(head) + head.size();
        return gang.output.substr(at, gang.output.find('\n', at) - at);
    }

    // One unit in each place, the place's stable name leading to the port the system gave it;
    // the names first, so that no unit appears behind a place's old name.
    void plug(vunit* units[2], const std::string (&ports)[2])
    {
        for (int slot = 0; slot < 2; slot++)
            fake_system::link_stable_name(dev.path, "by-path", PLACES[slot], ports[slot]);
        for (int slot = 0; slot < 2; slot++)
            units[slot] = start_unit({}, ports[slot]);
    }

    // The status once it counts `good` units and shows both slots' last units good (it is
    // renewed with the table), or the last one after 10 s.
    json status_when_good(const std::string& url, int good)
    {
        json s;
        for (int tries = 0; tries < 100; tries++, usleep(100000)) {
            s = parse_json(http_get(url_port(url), "/api/status").body);
            if (s.is_object() && s["totals"]["good"] == good && s["totals"]["in_progress"] == 0 && s["ports"].size() == 2 &&
                s["ports"][0]["state"] == "good" && s["ports"][1]["state"] == "good")
                break;
        }
        return s;
    }

    // Each slot's status as the page has it: its port, its label, and the address of its last
    // unit, which must be on the unit in that slot's place; the addresses into `addresses`.
    void expect_slots(const json& s, vunit* units[2], std::string (&addresses)[2])
    {
        ASSERT_TRUE(s.is_object());
        ASSERT_EQ(s["ports"].size(), 2u) << s.dump();
        for (int slot = 0; slot < 2; slot++) {
            const json& p = s["ports"][slot];
            EXPECT_EQ(p["port"], by_path(slot));
            EXPECT_EQ(p["label"], LABELS[slot]);
            EXPECT_EQ(p["state"], "good");
            addresses[slot] = p["address"].is_string() ? p["address"].get<std::string>() : "";
            EXPECT_TRUE(holds_address(units[slot], addresses[slot])) << LABELS[slot] << " programmed the unit in another place";
        }
    }
};

TEST_F(place_test, EachSlotFollowsItsPlaceWhenTheAdaptersSwapNumbers)
{
    std::string addresses[2][2];  // by round and slot
    vunit* first[2];
    plug(first, {"ttyUSB0", "ttyUSB1"});
    const std::string url = start_gang_with_page({"--ports", "by-path", "--labels", "A1,A2"});
    ASSERT_TRUE(gang.wait_for_count(" good, attempts 1", 2)) << gang.output;
    expect_slots(status_when_good(url, 2), first, addresses[0]);

    // A re-plug brings the adapters up the other way round: place 1.2 is ttyUSB1 now.
    for (vunit* unit : first)
        vunit_unplug(unit);
    ASSERT_TRUE(gang.wait_for_each({"A1 unit gone", "A2 unit gone"})) << gang.output;
    for (vunit* unit : first)
        stop_unit(unit);
    vunit* second[2];
    plug(second, {"ttyUSB1", "ttyUSB0"});
    ASSERT_TRUE(gang.wait_for_count(" good, attempts 1", 4)) << gang.output;
    expect_slots(status_when_good(url, 4), second, addresses[1]);
    kill(gang.pid, SIGINT);
    EXPECT_EQ(gang.finish(), 0) << gang.output;

    // The record keeps the port's stable name in its port column and adds the slot's label.
    std::vector<std::vector<std::string>> rows = csv_rows(read_file(cwd / "production.csv"));
    ASSERT_EQ(rows.size(), 5u);
    EXPECT_EQ(rows[0], (std::vector<std::string>{"time", "port", "address", "image_version", "image_checksum",
                                                  "result", "error_code", "attempts", "seconds", "slot"}));
    for (size_t i = 1; i < rows.size(); i++) {
        ASSERT_EQ(rows[i].size(), 10u);
        const int slot = rows[i][9] == "A1" ? 0 : 1;
        EXPECT_EQ(rows[i][9], LABELS[slot]);
        EXPECT_EQ(rows[i][1], by_path(slot));
        EXPECT_EQ(rows[i][2], addresses[i <= 2 ? 0 : 1][slot]) << "record line " << i;
    }
}

// Without --labels a slot is labelled by its port's name where that is a plain name, else by
// S and its place in port order; the record keeps its columns (no slot column, the port's name).
TEST_F(place_test, SlotsWithoutLabelsAreNamedByPortOrPlace)
{
    const struct {
        std::vector<std::string> ports;
        std::string labels[2];
    } cases[] = {
        {{"by-path"}, {"S1", "S2"}},
        {{"ttyUSB0," + by_path(1)}, {"ttyUSB0", "S2"}},
    };
    for (const auto& c : cases) {
        temp_dir station;
        vunit* units[2];
        plug(units, {"ttyUSB0", "ttyUSB1"});
        std::vector<std::string> args = {"--units", "2", "--ports"};
        args.insert(args.end(), c.ports.begin(), c.ports.end());
        gang_process run;
        run.start(args, station.path);
        ASSERT_EQ(run.finish(), 0) << run.output;
        for (const std::string& label : c.labels)
            EXPECT_NE(run.output.find("Z " + label + " 0604:03:"), std::string::npos) << label << "\n" << run.output;
        std::vector<std::vector<std::string>> rows = csv_rows(read_file(station / "production.csv"));
        ASSERT_EQ(rows.size(), 3u);
        EXPECT_EQ(rows[0].back(), "seconds") << "no slot column";
        for (vunit* unit : units)
            stop_unit(unit);
    }
}

// A slot that quarantines itself says so by its label, on the table and in its event line,
// and its record line carries it.
TEST_F(place_test, QuarantineNamesTheSlotByItsLabel)
{
    start_unit({"--fault", "bad-crc"}, "COM8");
    session table;
    temp_dir table_dir;  // its own address file and record
    ASSERT_TRUE(table.start("pelmo4rix", table_dir.path, dev.path,
                            {"gang", "--ports", "COM8", "--labels", "B8", "--attempts", "1", "--quarantine", "1"}));
    ASSERT_TRUE(table.wait_for("\nB8         0604:03:000100")) << table.transcript;
    ASSERT_TRUE(table.wait_for("check the fixture")) << table.transcript;
    table.type("q");
    EXPECT_EQ(table.finish(), 28) << table.transcript;

    start_unit({"--fault", "bad-crc"}, "COM7");
    gang.start({"--ports", "COM7", "--labels", "B7", "--attempts", "1", "--quarantine", "1", "--units", "1"}, cwd.path);
    EXPECT_EQ(gang.finish(), 28) << gang.output;
    EXPECT_EQ(gang.count(" B7 quarantined after 1 failed units in a row: check the fixture"), 1) << gang.output;
    std::vector<std::vector<std::string>> rows = csv_rows(read_file(cwd / "production.csv"));
    ASSERT_EQ(rows.size(), 2u);
    EXPECT_EQ(rows[1][1], "COM7");
    EXPECT_EQ(rows[1].back(), "B7");
}

// A record's first line decides its columns, so that what reads an existing record reads
// every line of it alike: a labelled gang adds no slot to a record begun without one, and an
// unlabelled one fills the slot of a record that has it with the port's name.
TEST_F(place_test, TheRecordsFirstLineDecidesTheSlotColumn)
{
    const std::string base = "time,port,address,image_version,image_checksum,result,error_code,attempts,seconds";
    const struct {
        const char* name;
        std::string header;
        std::vector<std::string> labels;
        std::vector<std::string> expected_tail;  // the line's cells after its seconds
    } cases[] = {
        {"labels on a record without slots", base, {"--labels", "B7"}, {}},
        {"no labels on a record with slots", base + ",slot", {}, {"COM7"}},
        {"labels on a record with slots", base + ",slot", {"--labels", "B7"}, {"B7"}},
    };
    start_unit({}, "COM7");
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        write_file(cwd / "production.csv", c.header + "\n");
        std::vector<std::string> args = {"gang", "--ports", "COM7", "--units", "1"};
        args.insert(args.end(), c.labels.begin(), c.labels.end());
        run_result r = pelmo4rix(args);
        ASSERT_EQ(r.exit_code, 0) << r.errors << r.output;
        std::vector<std::vector<std::string>> rows = csv_rows(read_file(cwd / "production.csv"));
        ASSERT_EQ(rows.size(), 2u);
        ASSERT_EQ(rows[1].size(), 9 + c.expected_tail.size());
        EXPECT_EQ(std::vector<std::string>(rows[1].begin() + 9, rows[1].end()), c.expected_tail);
    }
}

// The page names each slot by its label, with the port's own name on its tile's title, and its
// last units by their slot.
TEST_F(place_test, ThePageNamesEachSlotByItsLabel)
{
    if (browser::program().empty())
        GTEST_SKIP() << "chromium is not installed (Debian package chromium): the page is not tested";
    browser chrome;
    std::string why;
    ASSERT_TRUE(chrome.start(why)) << why;
    start_unit({}, "COM7");
    start_unit({}, "COM8");
    const std::string url = start_gang_with_page({"--ports", "COM7,COM8", "--labels", "A1,A2"});
    ASSERT_TRUE(chrome.open(url)) << url;
    const std::string tiles = "[...document.querySelectorAll('.tile .port')].map(t => t.textContent + '=' + t.title).join(' ')";
    EXPECT_EQ(chrome.wait_for(tiles, "A1=COM7 A2=COM8", 10000), "A1=COM7 A2=COM8");
    const std::string slots = "[...document.querySelectorAll('#records tr td:nth-child(2)')].map(c => c.textContent).sort().join(' ')";
    EXPECT_EQ(chrome.wait_for(slots, "A1 A2", 10000), "A1 A2") << gang.output;
    kill(gang.pid, SIGINT);
    EXPECT_EQ(gang.finish(), 0) << gang.output;
}

// What is refused before any unit: labels that don't name the ports one to one, labels and
// station names other than letters, digits and ._- (they would break a terminal, a metric or
// a spreadsheet); stable names that lead nowhere.
TEST_F(place_test, WhatTheLabelsAndStableNamesRefuse)
{
    const struct {
        const char* name;
        std::vector<std::string> args;
        std::string message;
    } cases[] = {
        {"fewer labels than ports", {"--ports", "COM7,COM8", "--labels", "A1"}, "--labels gives 1 label for 2 ports"},
        {"more labels than ports", {"--ports", "COM7", "--labels", "A1,A2"}, "--labels gives 2 labels for 1 port"},
        {"labels without ports", {"--labels", "A1"}, "--labels names the ports of --ports"},
        {"a label twice", {"--ports", "COM7,COM8", "--labels", "A1,A1"}, "label A1 given twice"},
        {"an empty label", {"--ports", "COM7,COM8,COM9", "--labels", "A1,,A2"}, "bad label '' in --labels"},
        {"a label with a blank", {"--ports", "COM7", "--labels", "A 1"}, "bad label 'A 1'"},
        {"a label with a control character", {"--ports", "COM7", "--labels", "A\x1b[2J"}, "bad label"},
        {"a label too long", {"--ports", "COM7", "--labels", std::string(SLOT_LABEL_MAX + 1, 'A')}, "bad label"},
        {"a label a spreadsheet splits into a formula", {"--ports", "COM7", "--labels", "S1;=1+2"},
         "bad label 'S1;=1+2' in --labels: 1 to 16 letters, digits and ._-"},
        {"a station name with a control character", {"--station", "line\r3"},
         "bad station name 'line\\x0d3': 1 to 64 letters, digits and ._-"},
        {"a station name a spreadsheet splits", {"--station", "A;=1+2"}, "bad station name 'A;=1+2'"},
        {"by-path without such ports", {"--ports", "by-path"}, "--ports by-path: no port"},
        {"a stable name too long", {"--ports", "serial/by-id/" + std::string(250, 'x')}, "bad port name"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<std::string> args = {"gang"};
        args.insert(args.end(), c.args.begin(), c.args.end());
        run_result r = pelmo4rix(args);
        EXPECT_EQ(r.exit_code, 2) << r.errors;
        EXPECT_NE(r.errors.find(c.message), std::string::npos) << r.errors;
    }
}

// Without --station the host's name names the station where it is a plain name; one that is
// not is refused before any unit, wherever the name would be written (the gang; flash with a
// hook), and --station serves instead.
TEST_F(place_test, AHostNameThatIsNoPlainNameNeedsStation)
{
    if (getuid() != 0 || access("/usr/bin/unshare", X_OK) != 0)
        GTEST_SKIP() << "needs root and unshare to give the test a host name of its own";
    const std::string refusal = "the host name 'line 3;=x' can't name this station (1 to 64 letters, digits and ._-): "
                                "give --station NAME";
    const struct {
        std::vector<std::string> args;
        int exit_code;
        const char* message;
    } cases[] = {
        {{"gang", "--units", "1"}, 2, refusal.c_str()},
        {{"--port", "COM7", "flash", "--on-unit", "true"}, 2, refusal.c_str()},
        {{"--port", "COM7", "flash", "--on-unit", "true", "--station", "line-3"}, 21, "COM7"},  // no unit there
    };
    for (const auto& c : cases) {
        std::string command = "printf 'line 3;=x' > /proc/sys/kernel/hostname && exec \"$0\" \"$@\"";
        std::vector<std::string> argv = {"/usr/bin/unshare", "--uts", "sh", "-c", command, program_path("pelmo4rix")};
        argv.insert(argv.end(), c.args.begin(), c.args.end());
        run_result r = run_program(argv, cwd.path, "", false, 30000, true);
        EXPECT_EQ(r.exit_code, c.exit_code) << c.args[0] << "\n" << r.errors;
        EXPECT_NE(r.errors.find(c.message), std::string::npos) << r.errors;
    }
}

// `pelmo4rix ports` tells each port's stable names and its adapter as the system describes
// them; a port described without its files is listed all the same, with what is missing null.
TEST_F(place_test, PortsTellsTheStableNamesAndTheAdapterOfEachPort)
{
    fake_system system;
    scoped_env dev_env{"PELMO4RIX_DEVICE_DIR", system.dev.path};
    scoped_env sys_env{"PELMO4RIX_SYSFS_DIR", system.sys.path};
    system.add({"ttyUSB0", "1-1.2", "ftdi_sio",
                {{"idVendor", "0403"}, {"idProduct", "6001"}, {"serial", "A50285BI"}, {"product", "FT232R USB UART"}},
                {{"latency_timer", "16"}}});
    system.add({"ttyUSB1", "1-1.3", "", {}, {}});
    const std::string by_id = "serial/by-id/usb-FTDI_FT232R_USB_UART_A50285BI-if00-port0";
    system.link_stable("by-path", PLACES[0], "ttyUSB0");
    system.link_stable("by-path", PLACES[1], "ttyUSB1");
    system.link_stable("by-id", by_id.substr(strlen("serial/by-id/")), "ttyUSB0");
    write_file(system.dev / "SERIALCOMM", "ttyUSB0\nttyUSB1\n");

    run_result r = pelmo4rix({"--json", "ports"});
    EXPECT_EQ(r.exit_code, 0) << r.errors;
    const json ports = parse_json(r.output)["ports"];
    const json expected = json::parse(R"([
        {"name": "ttyUSB0", "listed": true, "open": false, "unit": false,
         "by_path": [")" + by_path(0) + R"("], "by_id": [")" + by_id + R"("], "driver": "ftdi_sio",
         "usb": "0403:6001", "serial": "A50285BI", "product": "FT232R USB UART", "latency_timer_ms": 16},
        {"name": "ttyUSB1", "listed": true, "open": false, "unit": false,
         "by_path": [")" + by_path(1) + R"("], "by_id": [], "driver": null,
         "usb": null, "serial": null, "product": null, "latency_timer_ms": null}])");
    EXPECT_EQ(ports, expected) << r.output;

    // For a person, one line a port with the same facts.
    r = pelmo4rix({"--port", by_path(0), "ports"});
    EXPECT_EQ(r.exit_code, 0) << r.errors;
    EXPECT_EQ(r.output, by_path(0) + "  scanned  can't be opened  ftdi_sio (USB 0403:6001, serial A50285BI) FT232R USB UART"
                                     "  latency timer 16 ms: programming waits that long for every reply; set it to 1 ms\n");
    r = pelmo4rix({"ports"});
    EXPECT_NE(r.output.find("ttyUSB0          listed   can't be opened  ftdi_sio (USB 0403:6001, serial A50285BI) FT232R USB UART  " +
                            by_path(0) + "  latency timer 16 ms"), std::string::npos) << r.output;
}

}  // namespace
