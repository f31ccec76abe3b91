// The production station: end to end with the real program on a pseudo-terminal and the
// virtual unit, checked on the screen, in the address file and in the unit's flash; in-process
// where retries and pauses are counted.
#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>

#include "device/flash_layout.h"
#include "image/image.h"
#include "link/frames.h"
#include "link/pause.h"
#include "link/state.h"
#include "support/session.h"
#include "support/unit_fixture.h"
#include "tools/address_file.h"
#include "tools/station.h"

namespace {

// While it lives, the process can open no new file (every descriptor below the limit is in
// use): the address file's copy can't be made.
struct no_new_files {
    rlimit old = {};
    no_new_files()
    {
        getrlimit(RLIMIT_NOFILE, &old);
        int lowest_free = dup(0);
        close(lowest_free);
        rlimit none = {static_cast<rlim_t>(lowest_free), old.rlim_max};
        setrlimit(RLIMIT_NOFILE, &none);
    }
    ~no_new_files() { setrlimit(RLIMIT_NOFILE, &old); }
};

const char CLEAR[] = "\033[H\033[2J";
const char OPEN_WARNING[] = "\n\n WARMING !!!! Faile to open \"info.ini\" file. Use default \n\n";
const char HEADING[] = " Write BT address into ini file\n";
const char WRITE_ERROR[] = " \n\n !!!! Error to write to INI file !!!!!\n\n";
const char START[] = "\n Start programming device\n";
const char SUCCESS_BOX[] =
    "\n************************************************\n"
    "*            Success                           *\n"
    "* Press ENTER or RETURN to go back.            *\n"
    "************************************************\n";
const char FAILED_BOX[] =
    "\n************************************************\n"
    "*    WARMING !!!! Failed !!!!!                 *\n"
    "* Press ENTER or RETURN to go back.            *\n"
    "************************************************\n";
const char TRY_AGAIN[] = " \n WARMING !!! Error !!!. Please try again.\n";
const char DONE[] = " Done \n>";
const char EXIT[] = "\n Exit the program\n";
const char FOUND[] = "\n Search Device ...\n\t Found device on COM7\n";
const char VERSION[] = " Current Device Firmware Version = 605\n";

// The menu screen with the address as it shows it ("0604 03 000100").
std::string menu(const std::string& address)
{
    return "======================================================\n"
           "  Pelmo4Rix Production Software. Version 6.05 \n"
           "======================================================\n"
           "\n\n"
           " BT     NAP UAP LAP = " + address + "\n"
           "\n Commands:\n"
           "\t p: program device\n"
           "\t a: get current device BT address\n"
           "\t v: get current device Firmware Version\n"
           "\t r: refresh screen\n"
           "\t q: exit program\n>";
}

std::string stepped_to(const std::string& address)
{
    return " Next BT ADD = " + address + "\n" + HEADING;
}

// What a 'p' that programs a unit shows once the flash is verified.
std::string programmed(const std::string& next)
{
    return " Verify flash ... Done\n Reboot MCU \n" + stepped_to(next) + SUCCESS_BOX;
}

size_t count_of(const std::string& text, const std::string& part)
{
    size_t n = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + part.size()))
        n++;
    return n;
}

// The information sector the unit must hold for `lap` (default UAP and NAP).
std::vector<uint8_t> info_sector_for(int32_t lap)
{
    const uint8_t saved[6] = {bt_address[0], bt_address[1], bt_address[2], bt_address[3], bt_address[4], bt_address[5]};
    bt_address[0] = static_cast<uint8_t>(lap);
    bt_address[1] = static_cast<uint8_t>(lap >> 8);
    bt_address[2] = static_cast<uint8_t>(lap >> 16);
    std::vector<uint8_t> sector(4096);
    build_info_sector(sector.data());
    memcpy(bt_address, saved, sizeof saved);
    return sector;
}

std::vector<uint8_t> info_sector_of(vunit* unit)
{
    std::vector<uint8_t> flash = vunit_flash(unit);
    return {flash.begin() + INFO_SECTOR_ADDRESS, flash.begin() + INFO_SECTOR_ADDRESS + 4096};
}

class station : public unit_test {
protected:
    temp_dir cwd;
    session tool;

    std::string address_file() { return read_file(cwd / "info.ini"); }
    void start_station(session& s) { ASSERT_TRUE(s.start("pelmo4rix-station", cwd.path, dev.path)); }
};

TEST_F(station, first_start_creates_the_file_with_the_default_address)
{
    start_station(tool);
    ASSERT_TRUE(tool.wait_for(std::string(CLEAR) + OPEN_WARNING + HEADING + menu("0604 03 000100")));
    EXPECT_EQ(address_file(), "0604 03 000100 ");
    tool.type("q");
    ASSERT_TRUE(tool.wait_for(EXIT));
    EXPECT_EQ(tool.finish(), 0);
    EXPECT_EQ(tool.transcript.substr(tool.seen), "");
}

TEST_F(station, two_units_receive_consecutive_addresses)
{
    write_file(cwd / "info.ini", "0604 03 0001fe ");
    vunit* first = start_unit({"--stored-address", "0604:03:777777"});
    start_station(tool);
    ASSERT_TRUE(tool.wait_for(std::string(CLEAR) + menu("0604 03 0001FE")));
    tool.type("p");
    ASSERT_TRUE(tool.wait_for(std::string(CLEAR) + START + FOUND));
    ASSERT_TRUE(tool.wait_for(programmed("0604 03 0001ff")));
    EXPECT_EQ(info_sector_of(first), info_sector_for(0x1fe));
    EXPECT_EQ(address_file(), "0604 03 0001ff ");
    stop_unit(first);

    vunit* second = start_unit({}, "COM7", false);
    tool.type("\r");
    ASSERT_TRUE(tool.wait_for(std::string(CLEAR) + menu("0604 03 0001FF")));
    tool.type("p");
    ASSERT_TRUE(tool.wait_for(std::string(CLEAR) + START + FOUND));
    ASSERT_TRUE(tool.wait_for(programmed("0604 03 000200")));
    tool.type("x");
    ASSERT_TRUE(tool.wait_for(std::string(CLEAR) + menu("0604 03 000200")));
    EXPECT_EQ(info_sector_of(second), info_sector_for(0x1ff));
    EXPECT_EQ(address_file(), "0604 03 000200 ");
    std::vector<int> kinds = kinds_received(second);
    EXPECT_EQ(kinds.back(), CMD_RESTART_2);  // restarted into its new firmware
    tool.type("q");
    EXPECT_EQ(tool.finish(), 0);
}

TEST_F(station, keys_as_the_menu_and_the_hidden_commands_say)
{
    start_unit({"--stored-address", "0604:03:123456", "--params", "0102030405060708090a0b0c0d0e0f10"});
    // Upper-case letters, the space bar and 'r' redraw; 'n' steps without a redraw; 'a', 'v'
    // and 'z' query the unit; the end of input leaves as 'q' does.
    run_result run = run_program({program_path("pelmo4rix-station")}, cwd.path, "AP Qrnnnavz", true, 20000);
    EXPECT_EQ(run.exit_code, 0);
    std::string out = run.output;
    out.erase(std::remove(out.begin(), out.end(), '\r'), out.end());

    std::string screens = std::string(CLEAR) + OPEN_WARNING + HEADING + menu("0604 03 000100");
    for (int redraw = 0; redraw < 5; redraw++)
        screens += CLEAR + menu("0604 03 000100");
    screens += stepped_to("0604 03 000101") + stepped_to("0604 03 000102") + stepped_to("0604 03 000103");
    const std::string address = std::string("\n ************************ \n\n Get current devcie BT address\n") + FOUND +
                                VERSION + " Read Device BT Address ...\n\n\t Device BT address :  06 04 03 12 34 56\n\n" +
                                DONE;
    const std::string version =
        std::string("\n ************************ \n\n Get current devcie Firmware version\n") + FOUND + VERSION + DONE;
    const std::string params = std::string("\n Check Params\n") + FOUND + VERSION + " Check Device Parameters ...";
    ASSERT_EQ(out.substr(0, screens.size()), screens);
    out.erase(0, screens.size());
    ASSERT_EQ(out.substr(0, address.size() + version.size() + params.size()), address + version + params);
    // 'z' ends with the block it found and no " Done \n>"; then the end of input.
    EXPECT_NE(out.find("\n\n Parameters:  0x"), std::string::npos);
    EXPECT_EQ(out.substr(out.size() - strlen(EXIT) - 2), std::string("\n\n") + EXIT);
    EXPECT_EQ(address_file(), "0604 03 000103 ");
}

TEST_F(station, killed_while_programming_never_repeats_an_address)
{
    write_file(cwd / "info.ini", "0604 03 000100 ");
    vunit* unit = start_unit({"--write-ms", "5"});
    start_station(tool);
    ASSERT_TRUE(tool.wait_for(menu("0604 03 000100")));
    tool.type("p");
    ASSERT_TRUE(tool.wait_for(" 8Mb flash Write ."));
    tool.kill_now(SIGKILL);
    tool.finish();
    ASSERT_EQ(tool.transcript.find(" Reboot MCU"), std::string::npos);  // killed before the end
    EXPECT_EQ(address_file(), "0604 03 000101 ");  // reserved before the unit was written

    // The lock died with the station; the next one starts one address further.
    session again;
    start_station(again);
    ASSERT_TRUE(again.wait_for(menu("0604 03 000101")));
    again.type("p");
    ASSERT_TRUE(again.wait_for(programmed("0604 03 000102"), 30000));
    EXPECT_EQ(info_sector_of(unit), info_sector_for(0x101));
    EXPECT_EQ(address_file(), "0604 03 000102 ");
    again.type("\rq");
    EXPECT_EQ(again.finish(), 0);
}

TEST_F(station, second_station_on_the_same_file_is_refused)
{
    start_station(tool);
    ASSERT_TRUE(tool.wait_for(menu("0604 03 000100")));
    run_result second = run_program({program_path("pelmo4rix-station")}, cwd.path, "n", false, 20000);
    EXPECT_EQ(second.exit_code, 0);
    EXPECT_EQ(second.output, " Error !!!! \"info.ini\" is used by another station. \n\n");
    EXPECT_EQ(address_file(), "0604 03 000100 ");
    tool.type("q");
    EXPECT_EQ(tool.finish(), 0);
}

// The station's commands run in this process, in a directory of their own with an address
// file, the keys they wait for at the end of input.
class station_commands : public unit_test {
protected:
    temp_dir cwd;
    int saved_cwd = open(".", O_RDONLY | O_DIRECTORY);
    int saved_stdin = dup(STDIN_FILENO);

    void SetUp() override
    {
        unit_test::SetUp();
        ASSERT_EQ(chdir(cwd.path.c_str()), 0);
        int none = open("/dev/null", O_RDONLY);
        dup2(none, STDIN_FILENO);
        close(none);
        write_file(cwd / "info.ini", "0604 03 000100 ");
        ASSERT_EQ(printed_by([] { load_address_file(); }), "");
    }
    void TearDown() override
    {
        dup2(saved_stdin, STDIN_FILENO);
        close(saved_stdin);
        EXPECT_EQ(fchdir(saved_cwd), 0);
        close(saved_cwd);
        unit_test::TearDown();
    }

    std::string run_key(int key, station_step expected_step)
    {
        return printed_by([&] { EXPECT_EQ(run_station_key(key), expected_step); });
    }
};

struct query_case {
    const char* name;
    std::vector<std::string> options;  // empty: no unit attached
    int searches;                      // discoveries: 2 when the query was tried again
    bool shown;
};

TEST_F(station_commands, address_query_tried_again_only_after_a_refused_speed_change)
{
    const query_case table[] = {
        {"answered", {"--stored-address", "0604:03:123456"}, 1, true},
        // The unit's loader stays at 115200 baud after refusing, so the second query fails at its
        // version request.
        {"speed change refused", {"--fault", "no-reply:7"}, 2, false},
        {"handshake refused", {"--fault", "no-reply:2"}, 1, false},
        {"no unit", {}, 1, false},
    };
    for (const query_case& c : table) {
        SCOPED_TRACE(c.name);
        vunit* unit = nullptr;
        if (c.options.empty())
            write_file(dev / "SERIALCOMM", "");
        else
            unit = start_unit(c.options);
        std::string out = run_key('a', STEP_NEXT_KEY);
        EXPECT_EQ(count_of(out, "\n Search Device ...\n"), static_cast<size_t>(c.searches));
        EXPECT_EQ(count_of(out, "\n retry \n"), c.searches == 2 ? 1u : 0u);
        EXPECT_EQ(out.find("Device BT address :  06 04 03 12 34 56") != std::string::npos, c.shown);
        EXPECT_EQ(out.find(TRY_AGAIN) != std::string::npos, !c.shown);
        EXPECT_EQ(out.substr(out.size() - strlen(DONE)), DONE);
        EXPECT_EQ(port_handle, nullptr);
        if (unit)
            stop_unit(unit);
    }
}

// The unit unplugged in the middle of its sectors: the next attempt finds no unit, which ends
// 'p' with Failed and gives the address back to the file; plugged in again, 'p' programs it.
TEST_F(station_commands, unit_unplugged_mid_write_is_programmed_once_back)
{
    temp_dir files;
    vunit* unit = start_unit({"--fault", "unplug-after-sectors:10", "--flash-out", files / "left"});
    std::string out = run_key('p', STEP_REDRAW);
    EXPECT_EQ(out.substr(out.size() - strlen(FAILED_BOX)), FAILED_BOX);
    EXPECT_EQ(pauses.count, 1);
    EXPECT_EQ(read_file(cwd / "info.ini"), "0604 03 000100 ");
    stop_unit(unit);

    vunit* back = start_unit({"--flash-in", files / "left"}, "COM7", false);
    out = run_key('p', STEP_REDRAW);
    EXPECT_EQ(out.substr(out.size() - strlen(SUCCESS_BOX)), SUCCESS_BOX);
    EXPECT_EQ(info_sector_of(back), info_sector_for(0x100));
    EXPECT_TRUE(holds_image(back));
    EXPECT_EQ(frames_of(back, CMD_WRITE_SECTOR, 253), 253);  // blank image sectors too: the station's frames
    EXPECT_EQ(read_file(cwd / "info.ini"), "0604 03 000101 ");
}

struct program_case {
    const char* name;
    std::vector<std::string> options;  // empty: no unit attached
    bool copy_blocked;                 // the address file can't be rewritten
    int searches;                      // discoveries, one before each attempt
    int pauses;                        // 3000 ms pauses, one before each further attempt
    int verifies;                      // checksum commands the unit received
    int error;                         // error_code after a failure
    bool success;
};

TEST_F(station_commands, programming_attempts)
{
    const std::vector<std::string> plain_unit = {"--version", "605"};
    const program_case table[] = {
        {"programmed", {"--stored-address", "0604:03:777777"}, false, 1, 0, 1, 0, true},
        // A checksum that differs fails the attempt; the next one programs the unit.
        {"checksum differs once", {"--fault", "reply:17:040E0801E0FC1000000000:1"}, false, 2, 1, 2, 0, true},
        {"speed change always refused", {"--fault", "no-reply:7"}, false, PROGRAM_ATTEMPTS, PROGRAM_ATTEMPTS - 1, 0,
         9, false},
        {"no unit", {}, false, 1, 0, 0, 0, false},
        {"address can't be reserved", plain_unit, true, 0, 0, 0, 0, false},
    };
    for (const program_case& c : table) {
        SCOPED_TRACE(c.name);
        reset_state();
        write_file(cwd / "info.ini", "0604 03 000100 ");
        ASSERT_EQ(printed_by([] { load_address_file(); }), "");
        pauses = pause_log{};
        pauses.sleep = false;
        write_file(dev / "SERIALCOMM", "");
        vunit* unit = c.options.empty() ? nullptr : start_unit(c.options);
        std::string out = c.copy_blocked ? printed_by([&] {
            no_new_files held;
            EXPECT_EQ(run_station_key('p'), STEP_REDRAW);
        })
                                         : run_key('p', STEP_REDRAW);
        EXPECT_EQ(out.substr(0, strlen(START)), START);
        EXPECT_EQ(count_of(out, "\n Search Device ...\n"), static_cast<size_t>(c.searches));
        EXPECT_EQ(pauses.count, c.pauses);
        EXPECT_EQ(pauses.total_ms, c.pauses * ATTEMPT_PAUSE_MS);
        EXPECT_EQ(port_handle, nullptr);
        if (unit) {
            EXPECT_EQ(frames_of(unit, CMD_VERIFY_FLASH, c.verifies), c.verifies);
        }
        if (c.success) {
            EXPECT_EQ(out.substr(out.size() - strlen(SUCCESS_BOX) - strlen(HEADING)), HEADING + std::string(SUCCESS_BOX));
            EXPECT_EQ(read_file(cwd / "info.ini"), "0604 03 000101 ");
            EXPECT_EQ(info_sector_of(unit), info_sector_for(0x100));
        } else {
            EXPECT_EQ(out.substr(out.size() - strlen(FAILED_BOX)), FAILED_BOX);
            EXPECT_EQ(error_code, c.error);
            EXPECT_EQ(read_file(cwd / "info.ini"), "0604 03 000100 ");  // the reservation given back
            EXPECT_EQ(lap_counter, 0x100);
        }
        if (c.copy_blocked) {
            EXPECT_EQ(out, std::string(START) + WRITE_ERROR + FAILED_BOX);
            EXPECT_TRUE(kinds_received(unit).empty());  // not a frame went to the unit
        }
        if (unit)
            stop_unit(unit);
    }
}

}  // namespace
