// The Windows programs end to end under Wine: the .exe files built with MinGW-w64, Wine's
// serial ports, registry and console, the virtual unit as the unit; checked on the screen, in
// the files the programs write and on the unit's side.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>

#include <nlohmann/json.hpp>

#include "image/image.h"
#include "link/frames.h"
#include "support/pg_server.h"
#include "support/pg_tls.h"
#include "support/session.h"
#include "support/trace_parts.h"
#include "support/unit_fixture.h"
#include "wine/wine.h"

namespace {

namespace fs = std::filesystem;

class wine_tool : public unit_test {
protected:
    temp_dir cwd;
    wine_console tool;
    std::vector<std::string> links;  // made for this case, removed after it

    void SetUp() override
    {
        unit_test::SetUp();
        if (!wine_unavailable().empty())
            GTEST_SKIP() << wine_unavailable();
        ASSERT_EQ(wine_failure(), "");
    }

    void TearDown() override
    {
        tool.stop();
        for (const std::string& link : links)
            unlink(link.c_str());
        unit_test::TearDown();
    }

    // Makes `path` lead to the unit's port, in place of whatever link was there.
    void link(const std::string& path, vunit* unit)
    {
        if (!unit)
            return;  // start_unit has reported why
        unlink(path.c_str());  // a link of the machine's own serial ports, made dead at start
        fs::create_symlink(vunit_port_path(unit), path);
        links.push_back(path);
    }

    // A unit on COM7, a port that Wine lists.
    vunit* start_listed_unit(const std::vector<std::string>& options = {})
    {
        vunit* unit = start_unit(options);
        link(wine_listed_com7(), unit);
        return unit;
    }

    // A unit on COM`number`, a port that only a scan finds.
    vunit* start_unlisted_unit(int number, const std::vector<std::string>& options = {})
    {
        vunit* unit = start_unit(options, "COM" + std::to_string(number), false);
        link(wine_dosdevices() + "/com" + std::to_string(number), unit);
        return unit;
    }

    void start_tool(const std::string& exe, const std::vector<std::string>& args = {})
    {
        ASSERT_TRUE(tool.start(windows_program(exe), cwd.path, args));
    }
};

// The line settings another program may leave on a port: software flow control in both ways.
void turn_on_xon_xoff(vunit* unit)
{
    int fd = open(vunit_port_path(unit).c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    ASSERT_GE(fd, 0);
    termios line;
    ASSERT_EQ(tcgetattr(fd, &line), 0);
    line.c_iflag |= IXON | IXOFF;
    ASSERT_EQ(tcsetattr(fd, TCSANOW, &line), 0);
    close(fd);
}

constexpr size_t INFO_SECTOR_AT = 0xFD000;  // the information sector, after image sectors 0 to 252

// The unit's flash holds the image and, in its information sector, the address `stored` (six
// bytes in flash order: LAP low to high, UAP, NAP low and high).
::testing::AssertionResult holds_image_with_address(vunit* unit, const std::vector<uint8_t>& stored)
{
    std::vector<uint8_t> flash = vunit_flash(unit);
    if (!std::equal(firmware_image, firmware_image + INFO_SECTOR_AT, flash.begin()))
        return ::testing::AssertionFailure() << "the image is not in the flash";
    std::vector<uint8_t> address(flash.begin() + INFO_SECTOR_AT, flash.begin() + INFO_SECTOR_AT + stored.size());
    if (address != stored)
        return ::testing::AssertionFailure() << "address " << hex(address) << ", wanted " << hex(stored);
    return ::testing::AssertionSuccess();
}

std::string hex_digits(const std::string& bytes)
{
    std::string text = hex(std::vector<uint8_t>(bytes.begin(), bytes.end()));
    text.erase(std::remove(text.begin(), text.end(), ' '), text.end());
    return text;
}

TEST_F(wine_tool, trace_found_listed_logs_every_byte_and_stops_on_keys)
{
    // XOFF and XON in the version reply, on a port left with XON/XOFF on: a port that kept
    // software flow control would swallow both and hold the tool's own writes meanwhile.
    std::string reply = "\x13\r\nPR Version = 417 \x11";
    reply.resize(31, ' ');
    reply += "\r\n";
    vunit* unit = start_listed_unit({"--fault", "reply:22:" + hex_digits(reply)});
    ASSERT_NE(unit, nullptr);
    turn_on_xon_xoff(unit);
    start_tool("pelmo4rix-trace.exe");
    ASSERT_TRUE(tool.wait_for("  Pelmo4Rix Version 4 Log Capture Utility. Version 1.03\n"));
    ASSERT_TRUE(tool.wait_for("\n Search Device ...\n"));
    ASSERT_TRUE(tool.wait_for(" Found device on COM7\n"));
    ASSERT_TRUE(tool.wait_for(" Current Device Firmware Version = 417\n"));
    ASSERT_TRUE(tool.wait_for("\n Debug port enabled\n"));
    ASSERT_TRUE(tool.wait_for("\n Start Loging debug trace. Press any key to stop.\n"));
    ASSERT_TRUE(tool.wait_for("\n Logging .........."));
    tool.type("x");
    ASSERT_TRUE(tool.wait_for(" bytes. Press any key to exit program.\n"));
    // One key press is one key: the program still waits for the second.
    usleep(1000000);
    EXPECT_EQ(tool.exit_code(0), -1);
    EXPECT_EQ(tool.screen().find("Exit program."), std::string::npos);
    tool.type("y");
    ASSERT_TRUE(tool.wait_for(" Exit program.\n"));
    EXPECT_EQ(tool.exit_code(), 0);
    std::string screen = tool.screen();
    EXPECT_EQ(screen.find("Scan all possible"), std::string::npos) << screen;

    EXPECT_EQ(frames_of(unit, CMD_QUIT, 1), 1);
    EXPECT_EQ(kinds_received(unit).back(), CMD_QUIT);
    std::vector<uint8_t> sent = vunit_trace_sent(unit);
    std::string trace(sent.begin(), sent.end());
    std::string file = read_file(cwd / "Pelmo4Rix.trace");
    trace_parts parts = split_trace(file, trace);
    ASSERT_TRUE(parts.ok) << file.substr(0, 300);
    EXPECT_EQ(hex_digits(parts.first_read), hex_digits(reply));
    EXPECT_EQ(parts.logged, trace.substr(parts.enabled_read.size(), parts.logged.size()));
    EXPECT_GT(parts.logged.size(), 500u);
    size_t logged_at = screen.find(" Logged ");
    ASSERT_NE(logged_at, std::string::npos);
    EXPECT_EQ(std::stoul(screen.substr(logged_at + 8)), parts.enabled_read.size() + parts.logged.size());
}

// A unit found by the scan, whose trace goes quiet once logging is on: the screen says that
// logging has begun although no byte comes to print a dot for.
TEST_F(wine_tool, trace_found_by_the_scan_shows_logging_of_a_quiet_unit)
{
    vunit* unit = start_unlisted_unit(42, {"--trace-bytes", "120"});
    ASSERT_NE(unit, nullptr);
    start_tool("pelmo4rix-trace.exe");
    ASSERT_TRUE(tool.wait_for(" Scan all possible COM ports ......"));
    ASSERT_TRUE(tool.wait_for(" Found device on COM42\n"));
    ASSERT_TRUE(tool.wait_for(" Current Device Firmware Version = 605\n"));
    ASSERT_TRUE(tool.wait_for("\n Start Loging debug trace. Press any key to stop.\n"));
    ASSERT_TRUE(tool.wait_for("\n Logging .", 10000));
    tool.type("x");
    ASSERT_TRUE(tool.wait_for(" Logged 120 bytes. Press any key to exit program.\n"));
    tool.type("y");
    EXPECT_EQ(tool.exit_code(), 0);
    EXPECT_EQ(frames_of(unit, CMD_QUIT, 1), 1);
}

TEST_F(wine_tool, update_programs_the_unit_keeping_its_own_address)
{
    // An address holding XOFF and XON, read back from a unit on a port left with XON/XOFF on.
    vunit* unit = start_listed_unit({"--stored-address", "0604:13:11AB13"});
    ASSERT_NE(unit, nullptr);
    turn_on_xon_xoff(unit);
    start_tool("pelmo4rix-update.exe");
    ASSERT_TRUE(tool.wait_for(" Found device on COM7\n"));
    ASSERT_TRUE(tool.wait_for("\n Please type 'y' to continue or other key to stop the upgrade.\n"));
    tool.type("y");
    ASSERT_TRUE(tool.wait_for("\n Start the programming:\n Read Device BT Address ...\n Erase flash ...."));
    ASSERT_TRUE(tool.wait_for(" Verify flash ... Done\n Reboot MCU\n", 120000));
    ASSERT_TRUE(tool.wait_for("*            Success                           *\n"));
    tool.type("\r");
    EXPECT_EQ(tool.exit_code(), 0);
    EXPECT_TRUE(holds_image_with_address(unit, {0x13, 0xAB, 0x11, 0x13, 0x04, 0x06}));
    EXPECT_FALSE(vunit_in_loader(unit));
}

TEST_F(wine_tool, station_programs_a_unit_and_refuses_a_second_station)
{
    write_file(cwd / "info.ini", "0604 03 0001fe ");
    vunit* unit = start_listed_unit();
    ASSERT_NE(unit, nullptr);
    start_tool("pelmo4rix-station.exe");
    ASSERT_TRUE(tool.wait_for(" BT     NAP UAP LAP = 0604 03 0001FE\n"));
    ASSERT_TRUE(tool.wait_for(" q: exit program\n>"));

    // While it runs, a second station on the same address file is refused and ends.
    wine_console second;
    ASSERT_TRUE(second.start(windows_program("pelmo4rix-station.exe"), cwd.path));
    ASSERT_TRUE(second.wait_for(" Error !!!! \"info.ini\" is used by another station.\n"));
    EXPECT_EQ(second.exit_code(), 0);

    tool.type("p");
    ASSERT_TRUE(tool.wait_for(" Found device on COM7\n"));
    ASSERT_TRUE(tool.wait_for(" Verify flash ... Done\n Reboot MCU\n Next BT ADD = 0604 03 0001ff\n", 120000));
    ASSERT_TRUE(tool.wait_for("*            Success                           *\n"));
    EXPECT_EQ(read_file(cwd / "info.ini"), "0604 03 0001ff ");
    EXPECT_TRUE(holds_image_with_address(unit, {0xFE, 0x01, 0x00, 0x03, 0x04, 0x06}));
    tool.type("\r");
    ASSERT_TRUE(tool.wait_for(" BT     NAP UAP LAP = 0604 03 0001FF\n"));
    tool.type("q");
    ASSERT_TRUE(tool.wait_for("\n Exit the program\n"));
    EXPECT_EQ(tool.exit_code(), 0);
}

// The front end on Wine's console: its bar, its result, and the unit programmed.
TEST_F(wine_tool, front_end_flashes_the_unit_on_the_port_it_is_given)
{
    vunit* unit = start_listed_unit({"--stored-address", "0604:03:abcdef"});
    ASSERT_NE(unit, nullptr);
    start_tool("pelmo4rix.exe", {"--port", "COM7", "flash"});
    ASSERT_TRUE(tool.wait_for("\nverify [####################] 100%\n", 120000));
    ASSERT_TRUE(tool.wait_for("address    0604:03:abcdef\n"));
    EXPECT_EQ(tool.exit_code(), 0);
    EXPECT_TRUE(holds_image_with_address(unit, {0xEF, 0xCD, 0xAB, 0x03, 0x04, 0x06}));
    EXPECT_FALSE(vunit_in_loader(unit));
}

// The gang starts its worker (the front end again) as a process of its own and ends after one unit.
TEST_F(wine_tool, gang_programs_one_unit_through_its_worker)
{
    write_file(cwd / "info.ini", "0604 03 000100 ");
    vunit* unit = start_listed_unit();
    ASSERT_NE(unit, nullptr);
    start_tool("pelmo4rix.exe", {"gang", "--ports", "COM7", "--units", "1"});
    ASSERT_TRUE(tool.wait_for("good 1  failed 0", 120000));
    EXPECT_EQ(tool.exit_code(), 0);
    EXPECT_TRUE(holds_image_with_address(unit, {0x00, 0x01, 0x00, 0x03, 0x04, 0x06}));
    EXPECT_EQ(read_file(cwd / "info.ini"), "0604 03 000101 ");
    EXPECT_NE(read_file(cwd / "production.csv").find("0604:03:000100"), std::string::npos);
}

// 127.0.0.1:`port` as a socket address.
sockaddr_in loopback(int port)
{
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(static_cast<uint16_t>(port));
    return address;
}

// The whole answer (head and body) to GET `path` from 127.0.0.1:`port`; empty when none came
// within ten seconds.
std::string http_get(int port, const std::string& path)
{
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0)
        return "";
    timeval wait = {10, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait);
    setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &wait, sizeof wait);
    sockaddr_in address = loopback(port);
    std::string answer;
    std::string request = "GET " + path + " HTTP/1.0\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n";
    if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
        send(fd, request.data(), request.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(request.size())) {
        char block[4096];
        ssize_t got;
        while ((got = recv(fd, block, sizeof block, 0)) > 0)
            answer.append(block, static_cast<size_t>(got));
    }
    close(fd);
    return answer;
}

// The body of an answer of 200, or empty.
std::string body_if_ok(const std::string& answer)
{
    if (answer.rfind("HTTP/1.1 200 ", 0) != 0 && answer.rfind("HTTP/1.0 200 ", 0) != 0)
        return "";
    size_t body = answer.find("\r\n\r\n");
    return body == std::string::npos ? "" : answer.substr(body + 4);
}

// pelmo4rix.exe gang --http: the page and its status served from Windows' sockets, read from
// Linux over loopback while the gang waits for its second unit.
TEST_F(wine_tool, gang_serves_its_page_and_status_on_loopback)
{
    write_file(cwd / "info.ini", "0604 03 000200 ");
    vunit* unit = start_listed_unit();
    ASSERT_NE(unit, nullptr);
    // The page on a port that the system picks, as the gang names it.
    start_tool("pelmo4rix.exe", {"gang", "--ports", "COM7", "--units", "2", "--http", "127.0.0.1:0"});
    const std::string named = "page http://127.0.0.1:";
    ASSERT_TRUE(tool.wait_for(named, 120000));
    const std::string shown = tool.screen();
    const int port = atoi(shown.c_str() + shown.find(named) + named.size());
    ASSERT_GT(port, 0) << shown;
    ASSERT_TRUE(tool.wait_for("good 1  failed 0", 120000));

    // The gang renews the status just after it draws the table: asked until it has the unit.
    std::string answer;
    nlohmann::json status;
    for (int asked = 0; asked < 50; asked++) {
        answer = http_get(port, "/api/status");
        status = nlohmann::json::parse(body_if_ok(answer), nullptr, false);
        if (!status.is_object() || status["totals"]["good"] == 1)
            break;
        usleep(100000);
    }
    ASSERT_TRUE(status.is_object()) << answer;
    ASSERT_EQ(status["ports"].size(), 1u) << status;
    EXPECT_EQ(status["ports"][0]["port"], "COM7") << status;
    EXPECT_EQ(status["ports"][0]["state"], "good") << status;
    EXPECT_EQ(status["ports"][0]["address"], "0604:03:000200") << status;
    EXPECT_EQ(status["totals"]["good"], 1) << status;
    answer = http_get(port, "/");
    EXPECT_NE(body_if_ok(answer).find("<!DOCTYPE html>"), std::string::npos) << answer.substr(0, 300);

    tool.type("q");
    EXPECT_EQ(tool.exit_code(), 0) << tool.screen();
    EXPECT_TRUE(holds_image_with_address(unit, {0x00, 0x02, 0x00, 0x03, 0x04, 0x06}));
    EXPECT_EQ(http_get(port, "/api/status"), "") << "the page ends with the gang";
}

// pelmo4rix.exe with the shared pool: the suite's PostgreSQL server reached over TCP on
// 127.0.0.1 with a password, as a station PC reaches the factory's server; libpq.dll beside
// the program.
class wine_pool : public wine_tool {
protected:
    pg_database pool;
    std::string url;  // a fresh pool of ten addresses from 0604:03:100000, for this case

    void SetUp() override
    {
        wine_tool::SetUp();
        if (IsSkipped() || HasFatalFailure())
            return;
        if (pg_server::bin_dir().empty())
            GTEST_SKIP() << "no PostgreSQL server programs installed";
        const std::string station = pool.role("station", "LOGIN PASSWORD 'line secret'");
        std::string why;
        ASSERT_TRUE(pool.create(why, station)) << why;
        url = pool.tcp_url(station, "line%20secret");
        ASSERT_TRUE(run_exe({"pool", "init", "--pool", url, "--first", "0604:03:100000", "--last", "0604:03:100009"}));
    }

    // Runs pelmo4rix.exe with `args` to its end: a failure with its screen unless it ended with 0.
    ::testing::AssertionResult run_exe(const std::vector<std::string>& args)
    {
        wine_console exe;
        if (!exe.start(windows_program("pelmo4rix.exe"), cwd.path, args))
            return ::testing::AssertionFailure() << "pelmo4rix.exe did not start";
        int code = exe.exit_code(120000);
        if (code == 0)
            return ::testing::AssertionSuccess();
        return ::testing::AssertionFailure() << "exit code " << code << "; the screen:\n" << exe.screen();
    }

    // What the Linux program prints for `pelmo4rix pool ACTION --pool URL ARGS`.
    std::string pool_says(const std::string& action, const std::vector<std::string>& args = {})
    {
        std::vector<std::string> argv = {program_path("pelmo4rix"), "pool", action, "--pool", url};
        argv.insert(argv.end(), args.begin(), args.end());
        run_result r = run_program(argv, cwd.path, "", false, 30000, true);
        EXPECT_EQ(r.exit_code, 0) << r.errors;
        return r.output;
    }

    // The pool holds one good address, the first, and its one record: from port COM7, good.
    void expect_first_address_good(const std::string& station)
    {
        std::string status = pool_says("status", {"--json"});
        for (const char* count : {"\"free\":9", "\"in_progress\":0", "\"good\":1", "\"in_doubt\":0"})
            EXPECT_NE(status.find(count), std::string::npos) << count << " in " << status;
        std::string records = pool_says("records");
        size_t first_line = records.find('\n') + 1;
        ASSERT_EQ(std::count(records.begin() + first_line, records.end(), '\n'), 1) << records;
        std::string record = records.substr(first_line);
        EXPECT_NE(record.find(",COM7,0604:03:100000,"), std::string::npos) << record;
        EXPECT_NE(record.find(",good,0,"), std::string::npos) << record;
        EXPECT_NE(record.find("," + station + "\n"), std::string::npos) << record;
    }
};

const std::vector<uint8_t> FIRST_ADDRESS = {0x00, 0x00, 0x10, 0x03, 0x04, 0x06};  // 0604:03:100000 in flash order

TEST_F(wine_pool, flash_takes_its_address_from_the_pool_and_stores_its_record)
{
    vunit* unit = start_listed_unit();
    ASSERT_NE(unit, nullptr);
    ASSERT_TRUE(run_exe({"--port", "COM7", "flash", "--pool", url, "--station", "wine-flash"}));
    EXPECT_TRUE(holds_image_with_address(unit, FIRST_ADDRESS));
    expect_first_address_good("wine-flash");
}

TEST_F(wine_pool, gang_takes_its_address_from_the_pool_and_stores_its_record)
{
    vunit* unit = start_listed_unit();
    ASSERT_NE(unit, nullptr);
    ASSERT_TRUE(run_exe({"gang", "--pool", url, "--units", "1", "--ports", "COM7", "--station", "wine-gang"}));
    EXPECT_TRUE(holds_image_with_address(unit, FIRST_ADDRESS));
    expect_first_address_good("wine-gang");
}

// pelmo4rix.exe alone in a folder: it runs, and only --pool needs libpq.dll, which it names
// with the folder to put it in, before it writes anything.
TEST_F(wine_tool, pool_without_libpq_dll_says_what_to_put_where)
{
    fs::copy_file(windows_program("pelmo4rix.exe"), cwd / "pelmo4rix.exe");
    wine_console version;
    ASSERT_TRUE(version.start(cwd / "pelmo4rix.exe", cwd.path, {"--version"}));
    EXPECT_EQ(version.exit_code(), 0) << version.screen();
    std::string folder = "Z:" + cwd.path + "/";
    std::replace(folder.begin(), folder.end(), '/', '\\');
    for (std::vector<std::string> command : {std::vector<std::string>{"--port", "COM7", "flash", "--pool", "host=127.0.0.1"},
                                             {"gang", "--pool", "host=127.0.0.1", "--units", "1"}}) {
        wine_console exe;
        ASSERT_TRUE(exe.start(cwd / "pelmo4rix.exe", cwd.path, command));
        EXPECT_TRUE(exe.wait_for("libpq.dll (PostgreSQL's client library) is missing: --pool needs it; put it beside "
                                 "pelmo4rix.exe, in " + folder + "\n"))
            << command[0];
        EXPECT_EQ(exe.exit_code(), 2) << command[0];
    }
    std::vector<std::string> left;
    for (const fs::directory_entry& entry : fs::directory_iterator(cwd.path))
        left.push_back(entry.path().filename());
    EXPECT_EQ(left, std::vector<std::string>{"pelmo4rix.exe"}) << "nothing written, no journal begun";
}

// A folder for trusted keys on the prefix's drive C:, closed to others as a station's folders
// are; a folder under /tmp is not, as Wine shows it: /tmp is a folder that Everyone may change
// (Wine knows no sticky bit).
struct key_folder {
    std::string path, name;
    key_folder()
    {
        std::string pattern = wine_dosdevices() + "/c:/keys-XXXXXX";
        path = mkdtemp(&pattern[0]) ? pattern : "";
        name = path.substr(path.rfind('/') + 1);
    }
    ~key_folder() { fs::remove_all(path); }
    // The file `file` of the folder as the Windows programs name it.
    std::string windows(const std::string& file) const { return "C:\\" + name + "\\" + file; }
};

// A signed package on Windows: a trusted one programs the unit, a tampered one is refused
// before anything is sent. The packages are made by the Linux program from the same sources.
TEST_F(wine_tool, front_end_takes_a_trusted_package_and_refuses_a_tampered_one)
{
    key_folder keys;
    ASSERT_FALSE(keys.path.empty());
    for (std::vector<std::string> step : {std::vector<std::string>{"keygen", "--out", keys.path + "/release"},
                                          {"make", "--key", keys.path + "/release.key", "--image", PELMO4RIX_IMAGE_FILE,
                                           "--version", "6.05", "--out", "fw.p4pkg"}}) {
        step.insert(step.begin(), {program_path("pelmo4rix"), "package"});
        ASSERT_EQ(run_program(step, cwd.path, "", false, 30000).exit_code, 0) << step[2];
    }
    std::string bytes = read_file(cwd / "fw.p4pkg");
    bytes.at(5 * 512 + 100) ^= 0x01;  // a byte of the image
    write_file(cwd / "bad.p4pkg", bytes);

    vunit* unit = start_listed_unit({"--stored-address", "0604:03:abcdef"});
    ASSERT_NE(unit, nullptr);
    const std::string trusted = keys.windows("release.pub");
    wine_console tampered;
    ASSERT_TRUE(tampered.start(windows_program("pelmo4rix.exe"), cwd.path,
                               {"--port", "COM7", "flash", "--image", "bad.p4pkg", "--trust", trusted}));
    EXPECT_TRUE(tampered.wait_for("bad.p4pkg refused: its image does not match its manifest"));
    EXPECT_EQ(tampered.exit_code(), 24);
    EXPECT_TRUE(vunit_frames(unit).empty());

    start_tool("pelmo4rix.exe", {"--port", "COM7", "flash", "--image", "fw.p4pkg", "--trust", trusted});
    ASSERT_TRUE(tool.wait_for("address    0604:03:abcdef\n", 120000));
    EXPECT_EQ(tool.exit_code(), 0);
    EXPECT_TRUE(holds_image_with_address(unit, {0xEF, 0xCD, 0xAB, 0x03, 0x04, 0x06}));
}

// On Windows a trusted key's owner and rights are checked, and its folders' up to the first the
// system owns: a key that Everyone may change, or in a folder that Everyone may change, is
// skipped with the fix named. A secret key that pelmo4rix.exe makes is its user's alone, and
// make refuses one that Everyone may read. (Wine shows a file's Unix mode as rights: o+w as
// Everyone's right to change it.)
TEST_F(wine_tool, keys_that_others_may_change_or_read_are_refused)
{
    key_folder keys;
    ASSERT_FALSE(keys.path.empty());
    ASSERT_EQ(run_program({program_path("pelmo4rix"), "package", "keygen", "--out", keys.path + "/release"}, cwd.path, "",
                          false, 30000)
                  .exit_code,
              0);
    ASSERT_EQ(run_program({program_path("pelmo4rix"), "package", "make", "--key", keys.path + "/release.key", "--image",
                           PELMO4RIX_IMAGE_FILE, "--version", "6.05", "--out", "fw.p4pkg"},
                          cwd.path, "", false, 30000)
                  .exit_code,
              0);
    write_file(cwd / "release.pub", read_file(keys.path + "/release.pub"));
    const struct {
        const char* name;
        std::string key;  // as the Windows program is given it
        mode_t mode;
        std::string message;  // empty: trusted
    } cases[] = {
        {"a key closed to others", keys.windows("release.pub"), 0644, ""},
        {"a key Everyone may change", keys.windows("release.pub"), 0646,
         "the key file " + keys.windows("release.pub") + " is not trusted: Everyone may change it (icacls"},
        {"a key in a folder Everyone may change", "Z:" + cwd / "release.pub", 0644,
         "Everyone may change its folder Z:\\tmp (icacls \"Z:\\tmp\" /inheritance:d"},
    };
    for (const auto& c : cases) {
        ASSERT_EQ(chmod((keys.path + "/release.pub").c_str(), c.mode), 0);
        wine_console verify;
        ASSERT_TRUE(verify.start(windows_program("pelmo4rix.exe"), cwd.path, {"package", "verify", "fw.p4pkg", "--trust", c.key}));
        EXPECT_TRUE(verify.wait_for(c.message.empty() ? "verified      yes" : c.message)) << c.name;
        EXPECT_EQ(verify.exit_code(), c.message.empty() ? 0 : 24) << c.name;
    }

    wine_console keygen;
    ASSERT_TRUE(keygen.start(windows_program("pelmo4rix.exe"), keys.path, {"package", "keygen", "--out", "station"}));
    EXPECT_EQ(keygen.exit_code(), 0);
    for (const bool shared : {false, true}) {
        if (shared) {
            ASSERT_EQ(chmod((keys.path + "/station.key").c_str(), 0644), 0);
        }
        wine_console make;
        ASSERT_TRUE(make.start(windows_program("pelmo4rix.exe"), keys.path,
                               {"package", "make", "--key", "station.key", "--image", "Z:" PELMO4RIX_IMAGE_FILE,
                                "--version", "6.05", "--out", shared ? "refused.p4pkg" : "made.p4pkg"}));
        if (shared) {
            EXPECT_TRUE(make.wait_for("the secret key station.key may be read or changed by Everyone"));
        }
        EXPECT_EQ(make.exit_code(), shared ? 24 : 0);
    }
}

// A folder of its own for pelmo4rix.exe and the DLLs it needs, as a station PC has it.
void copy_programs_to(const std::string& folder)
{
    fs::copy_file(windows_program("pelmo4rix.exe"), folder + "/pelmo4rix.exe");
    for (const fs::directory_entry& entry : fs::directory_iterator(fs::path(windows_program("pelmo4rix.exe")).parent_path()))
        if (entry.path().extension() == ".dll")
            fs::copy_file(entry.path(), folder + "/" + entry.path().filename().string());
}

// libpq.dll, and the DLLs it needs, are loaded from pelmo4rix.exe's own folder only: copies
// in the current folder, which Windows' default search would take, are not used.
TEST_F(wine_tool, pool_loads_libpq_and_its_dlls_only_from_the_programs_folder)
{
    struct placing {
        const char* what;
        bool libpq_beside_the_program;
        const char* says;
    };
    const placing cases[] = {
        {"every DLL in the current folder", false, "libpq.dll (PostgreSQL's client library) is missing"},
        {"libpq.dll beside the program, OpenSSL's DLLs in the current folder", true,
         "): the DLLs it needs must be beside it: libssl-3-x64.dll"},  // Wine's console breaks lines at 160
    };
    for (const placing& c : cases) {
        SCOPED_TRACE(c.what);
        temp_dir programs, current;
        copy_programs_to(current.path);
        fs::rename(current / "pelmo4rix.exe", programs / "pelmo4rix.exe");
        if (c.libpq_beside_the_program)
            fs::rename(current / "libpq.dll", programs / "libpq.dll");
        wine_console exe;
        ASSERT_TRUE(exe.start(programs / "pelmo4rix.exe", current.path,
                              {"--port", "COM7", "flash", "--pool", "host=127.0.0.1 port=1"}));
        EXPECT_TRUE(exe.wait_for(c.says)) << exe.screen();
        EXPECT_EQ(exe.exit_code(), 2) << exe.screen();
    }
}

// pelmo4rix.exe --pool over TLS: a private server that takes TCP sessions only with TLS, its
// certificate made for 127.0.0.1 by the test's root; the programs in a folder of their own
// with that root beside them, started in another folder.
class wine_pool_tls : public wine_tool {
protected:
    static pg_server* server;
    static pg_tls tls;
    temp_dir programs;
    std::string db;  // a fresh pool of ten addresses from 0604:03:100000, for this case

    static void TearDownTestSuite()
    {
        delete server;
        server = nullptr;
    }

    void SetUp() override
    {
        wine_tool::SetUp();
        if (IsSkipped() || HasFatalFailure())
            return;
        if (!server) {
            auto started = std::make_unique<pg_server>();
            START_PG_SERVER(*started);
            TURN_ON_TLS(*started, tls);
            ASSERT_TRUE(started->sql("CREATE ROLE station LOGIN PASSWORD 'line secret'")) << started->error;
            server = started.release();
        }
        copy_programs_to(programs.path);
        fs::copy_file(tls.root, programs / "pool-root.crt");
    }

    // A fresh pool, set up by its owner, the station's role, from Linux.
    void make_pool()
    {
        static int pools = 0;
        db = "tls" + std::to_string(++pools);
        ASSERT_TRUE(server->sql("CREATE DATABASE " + db + " OWNER station")) << server->error;
        run_result r = run_program({program_path("pelmo4rix"), "pool", "init", "--pool", url(tls.root), "--first",
                                    "0604:03:100000", "--last", "0604:03:100009"},
                                   cwd.path, "", false, 30000);
        ASSERT_EQ(r.exit_code, 0) << r.output;
    }

    // The station's URL: TCP with a password, verify-full, and `root` as sslrootcert (none if empty).
    std::string url(const std::string& root) const
    {
        return server->tcp_url("station", "line%20secret", db) + "?sslmode=verify-full" +
               (root.empty() ? "" : "&sslrootcert=" + root);
    }

    // `flash --pool URL` or `gang --pool URL` for one unit on COM7, run to its end.
    int draw_one(const std::string& program, const std::string& pool_url, std::string& screen)
    {
        std::vector<std::string> args = {"gang", "--pool", pool_url, "--ports", "COM7", "--units", "1"};
        if (program == "flash")
            args = {"--port", "COM7", "flash", "--pool", pool_url};
        args.insert(args.end(), {"--station", "wine-tls"});
        wine_console exe;
        if (!exe.start(programs / "pelmo4rix.exe", cwd.path, args))
            return -1;
        int code = exe.exit_code(120000);
        screen = exe.screen();
        return code;
    }

    // A field of `pool status --json`, asked by the superuser over the Unix socket.
    std::string status(const std::string& key)
    {
        run_result r = run_program({program_path("pelmo4rix"), "pool", "status", "--pool", server->url(db), "--json"},
                                   cwd.path, "", false, 30000, true);
        nlohmann::json fields = nlohmann::json::parse(r.output, nullptr, false);
        return fields.is_object() ? fields[key].dump() : r.output + r.errors;
    }
};

pg_server* wine_pool_tls::server = nullptr;
pg_tls wine_pool_tls::tls;

TEST_F(wine_pool_tls, verify_full_with_the_root_beside_the_programs_draws_and_records)
{
    for (const char* program : {"flash", "gang"}) {
        SCOPED_TRACE(program);
        ASSERT_NO_FATAL_FAILURE(make_pool());
        vunit* unit = start_listed_unit();
        ASSERT_NE(unit, nullptr);
        logged_sessions before = sessions_logged(*server, "station");
        std::string screen;
        EXPECT_EQ(draw_one(program, url("pool-root.crt"), screen), 0) << screen;
        EXPECT_TRUE(holds_image_with_address(unit, FIRST_ADDRESS));
        EXPECT_EQ(status("good"), "1");
        EXPECT_EQ(status("in_progress"), "0");
        logged_sessions after = sessions_logged(*server, "station");
        EXPECT_GT(after.encrypted, before.encrypted) << "the server saw its sessions encrypted";
        EXPECT_EQ(after.plain, 0);
        stop_unit(unit);
    }
}

TEST_F(wine_pool_tls, an_untrusted_server_or_no_root_is_refused_before_any_unit)
{
    struct refusal {
        const char* why;
        std::string root;
        const char* says;
    };
    const refusal cases[] = {
        {"a root that signed something else", tls.other_root, "the server's certificate was not trusted"},
        {"no root certificate", "", "no root certificate was found"},
    };
    for (const refusal& c : cases) {
        for (const char* program : {"flash", "gang"}) {
            SCOPED_TRACE(std::string(c.why) + ", " + program);
            ASSERT_NO_FATAL_FAILURE(make_pool());
            vunit* unit = start_listed_unit();
            ASSERT_NE(unit, nullptr);
            std::string screen;
            EXPECT_EQ(draw_one(program, url(c.root), screen), 33) << screen;
            EXPECT_NE(screen.find(c.says), std::string::npos) << screen;
            EXPECT_EQ(kinds_received(unit), std::vector<int>{}) << "nothing sent to the unit";
            EXPECT_EQ(status("free"), "10");
            stop_unit(unit);
        }
    }
}

}  // namespace
