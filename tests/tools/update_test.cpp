// The firmware update tool. What a person sees runs end to end: the real program on a
// pseudo-terminal, keys typed as a person types them, the virtual unit as the unit. Retry
// cycles run the tool on a thread of the test, its console on a pseudo-terminal too, so that
// the 3000 ms pauses are recorded instead of slept. Results are checked on the unit's side.
#include <fcntl.h>
#include <sys/file.h>
#include <termios.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <thread>

#include "image/image.h"
#include "link/frames.h"
#include "link/pause.h"
#include "link/state.h"
#include "support/session.h"
#include "support/unit_fixture.h"
#include "tools/tools.h"

namespace {

const char CLEAR[] = "\033[H\033[2J";
const std::string BANNER =
    "======================================================\n"
    "  Pelmo4Rix Firmware Update Software. Version 6.05\n"
    "======================================================\n";
const std::string FOUND =
    "\n Search Device ...\n\t Found device on COM7\n Current Device Firmware Version = 605\n";
const std::string CONFIRM =
    "\n Found the device.\n"
    " After the upgrade, need to re-pair all the Bluetooth devices.\n"
    "\n Please type 'y' to continue or other key to stop the upgrade.\n";
const std::string START = "\n Start the programming: \n";
const std::string PROGRAMMING = START + " Read Device BT Address ...\n Erase flash " + std::string(30, '.') +
                                " Done\n 8Mb flash Write " + std::string(63, '.') +
                                " Done\n Verify flash ... Done\n Reboot MCU \n";
const std::string SUCCESS_BOX =
    "\n************************************************\n"
    "*            Success                           *\n"
    "* Press ENTER or RETURN to EXIT the program.   *\n"
    "************************************************\n";
const std::string FAILURE_BOX =
    "\n*********************************************************\n"
    "*          WARMING !!! FAILED !!!                       *\n"
    "* Please remove the device then plug-in and try again.  *\n"
    "* Press 'y' after plugin the device.                    *\n"
    "* Or Press ENTER or RETURN Key to EXIT the program.     *\n"
    "*********************************************************\n";
const std::string STOPPED = "\n\n Program STOPPED. No upgrade is done.\n\n";
const char NO_PORTS[] = "\n Search Device ...\n\tNo COM port available, Device may not attached.\n";

constexpr uint32_t INFO_AT = 0xFD000;
constexpr long ATTEMPT_PAUSE_MS = 3000;
constexpr int CYCLE_WAIT_MS = 180000;  // a whole cycle of attempts, much slower under the sanitizers

int occurrences(const std::string& text, const std::string& part)
{
    int n = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + part.size()))
        n++;
    return n;
}

// The information sector a unit carries for an address given as six bytes in flash order and
// the name text's three digits.
std::vector<uint8_t> info_sector(const std::string& address_hex, const std::string& digits)
{
    std::vector<uint8_t> sector = unhex(address_hex);
    std::string name = "Pelmo4Rix(" + digits + ")";
    sector.insert(sector.end(), name.begin(), name.end());
    sector.resize(38, 0x00);
    sector.resize(SECTOR_SIZE, 0xFF);
    return sector;
}

const char STORED_ADDRESS[] = "0604:03:4A1B2C";  // NAP:UAP:LAP of a unit with an address of its own
const std::vector<uint8_t> STORED_INFO = info_sector("2c 1b 4a 03 04 06", "B2C");
const std::vector<uint8_t> DEFAULT_INFO = info_sector("00 01 00 03 04 06", "100");

// The unit's information sector equals `expected`; a difference shows the first 40 bytes.
testing::AssertionResult info_sector_is(vunit* unit, const std::vector<uint8_t>& expected)
{
    std::vector<uint8_t> flash = vunit_flash(unit);
    std::vector<uint8_t> sector(flash.begin() + INFO_AT, flash.begin() + INFO_AT + SECTOR_SIZE);
    if (sector == expected)
        return testing::AssertionSuccess();
    auto head = [](const std::vector<uint8_t>& bytes) { return hex({bytes.begin(), bytes.begin() + 40}); };
    return testing::AssertionFailure() << "holds " << head(sector) << "...\nwanted " << head(expected) << "...";
}

// True when no program holds the port: one that has it open holds its exclusive lock.
bool port_is_free(const std::string& path)
{
    int fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (fd < 0)
        return false;
    bool free = flock(fd, LOCK_EX | LOCK_NB) == 0;
    close(fd);
    return free;
}

// Presses a key once the tool reads keys (no echo), as a person would after seeing the prompt;
// typed earlier, the terminal would still echo it.
void press_key(session& screen, const std::string& key)
{
    termios mode;
    for (int i = 0; i < 200 && tcgetattr(screen.terminal, &mode) == 0 && (mode.c_lflag & ECHO); i++)
        usleep(10000);
    screen.type(key);
}

// firmware_update_tool on a thread of this process, its standard input and output on a
// pseudo-terminal that `screen` reads and types into. Keep it local to the test body: it must
// end before the fixture stops the unit.
class tool_thread {
public:
    session screen;

    bool start()
    {
        screen.terminal = posix_openpt(O_RDWR | O_NOCTTY);
        if (screen.terminal < 0 || grantpt(screen.terminal) != 0 || unlockpt(screen.terminal) != 0)
            return false;
        int terminal = open(ptsname(screen.terminal), O_RDWR | O_NOCTTY);
        if (terminal < 0)
            return false;
        fflush(stdout);
        saved_in = dup(STDIN_FILENO);
        saved_out = dup(STDOUT_FILENO);
        dup2(terminal, STDIN_FILENO);
        dup2(terminal, STDOUT_FILENO);
        close(terminal);
        thread = std::thread(firmware_update_tool);
        return true;
    }

    // Waits for the tool to return and gives the test its standard input and output back.
    // Failure messages written meanwhile went to the tool's terminal: a failed test shows the
    // screen on standard error.
    void finish()
    {
        if (!thread.joinable())
            return;
        thread.join();
        fflush(stdout);
        clearerr(stdin);
        dup2(saved_in, STDIN_FILENO);
        dup2(saved_out, STDOUT_FILENO);
        close(saved_in);
        close(saved_out);
        if (testing::Test::HasFailure()) {
            read_rest();
            fprintf(stderr, "The tool's screen:\n%s\n", screen.transcript.c_str());
        }
    }

    ~tool_thread()
    {
        // A test that stopped early: a hung-up terminal reads as end of input, so the tool ends.
        if (thread.joinable()) {
            read_rest();
            close(screen.terminal);
            screen.terminal = -1;
            finish();
        }
    }

private:
    std::thread thread;
    int saved_in = -1, saved_out = -1;

    void read_rest() { screen.wait_for(std::string(1, '\0'), 200); }
};

class update_tool : public unit_test {
protected:
    temp_dir cwd;
    session tool;

    void start_tool() { ASSERT_TRUE(tool.start("pelmo4rix-update", cwd.path, dev.path)); }
    std::string port_path() { return dev / "COM7"; }

    // Starts the tool in this process, confirms, and waits for the first cycle to fail.
    void run_to_failure_box(tool_thread& run)
    {
        ASSERT_TRUE(run.start());
        ASSERT_TRUE(run.screen.wait_for(CONFIRM));
        press_key(run.screen, "y");
        ASSERT_TRUE(run.screen.wait_for(FAILURE_BOX, CYCLE_WAIT_MS));
    }

    // Leaves at the failure box with ENTER: the tool stops.
    void leave_at_failure_box(tool_thread& run)
    {
        press_key(run.screen, "\r");
        run.finish();
        ASSERT_TRUE(run.screen.wait_for(STOPPED));
    }
};

struct address_case {
    const char* name;
    std::vector<std::string> unit_options;
    std::vector<uint8_t> info_after;
};

void PrintTo(const address_case& c, std::ostream* out)
{
    *out << c.name;
}

class update_keeps_address : public update_tool, public testing::WithParamInterface<address_case> {};

TEST_P(update_keeps_address, confirmed_success_at_the_first_attempt)
{
    vunit* unit = start_unit(GetParam().unit_options);
    start_tool();
    ASSERT_TRUE(tool.wait_for(CONFIRM));
    press_key(tool, "y");
    ASSERT_TRUE(tool.wait_for(SUCCESS_BOX));
    ASSERT_TRUE(tool.wait_for_line_editing());
    tool.type("\r");
    EXPECT_EQ(tool.finish(), 0);
    // The ENTER typed at the end is echoed: a line end after the box.
    EXPECT_EQ(tool.transcript, CLEAR + BANNER + FOUND + CONFIRM + PROGRAMMING + SUCCESS_BOX + "\n");

    EXPECT_TRUE(holds_image(unit));
    EXPECT_TRUE(info_sector_is(unit, GetParam().info_after));
    EXPECT_EQ(frames_of(unit, CMD_READ_BT_INFO, 1), 1);
    EXPECT_EQ(frames_of(unit, CMD_WRITE_SECTOR, 253), 253);  // blank image sectors too: the tool's frames
    // Restarted after the checksum: the restart pair at both speeds, the firmware running.
    std::vector<int> kinds = kinds_received(unit);
    auto checksum = std::find(kinds.rbegin(), kinds.rend(), CMD_VERIFY_FLASH);
    EXPECT_EQ(std::vector<int>(kinds.rbegin(), checksum),
              (std::vector<int>{CMD_RESTART_2, CMD_RESTART_1, CMD_RESTART_2, CMD_RESTART_1}));
    EXPECT_FALSE(vunit_in_loader(unit));
}

INSTANTIATE_TEST_SUITE_P(
    units, update_keeps_address,
    testing::Values(address_case{"stored_address", {"--stored-address", STORED_ADDRESS}, STORED_INFO},
                    address_case{"nothing_stored_gets_the_default", {}, DEFAULT_INFO}),
    [](const testing::TestParamInfo<address_case>& info) { return std::string(info.param.name); });

class update_declined : public update_tool, public testing::WithParamInterface<const char*> {};

TEST_P(update_declined, any_key_but_y_stops_before_the_loader)
{
    vunit* unit = start_unit({"--stored-address", STORED_ADDRESS});
    std::vector<uint8_t> flash_before = vunit_flash(unit);
    start_tool();
    ASSERT_TRUE(tool.wait_for(CONFIRM));
    press_key(tool, GetParam());
    EXPECT_EQ(tool.finish(), 0);
    EXPECT_EQ(tool.transcript, CLEAR + BANNER + FOUND + CONFIRM + STOPPED);

    std::vector<int> kinds = kinds_received(unit);
    ASSERT_FALSE(kinds.empty());
    EXPECT_EQ(kinds.back(), CMD_GET_VERSION);  // nothing after the version query
    EXPECT_TRUE(vunit_flash(unit) == flash_before);
}

INSTANTIATE_TEST_SUITE_P(keys, update_declined, testing::Values("Y", "n", "\r"));

TEST_F(update_tool, no_unit_at_start_then_plugged_in_programs_without_asking)
{
    write_file(dev / "SERIALCOMM", "");
    start_tool();
    ASSERT_TRUE(tool.wait_for(CLEAR + BANNER + NO_PORTS + FAILURE_BOX));
    vunit* unit = start_unit();
    press_key(tool, "y");
    ASSERT_TRUE(tool.wait_for(FOUND + PROGRAMMING + SUCCESS_BOX));
    tool.type("\r");
    EXPECT_EQ(tool.finish(), 0);
    EXPECT_EQ(tool.transcript.find(CONFIRM), std::string::npos);
    EXPECT_TRUE(holds_image(unit));
}

TEST_F(update_tool, stopping_at_the_confirmation_frees_the_port)
{
    start_unit();
    tool_thread run;
    ASSERT_TRUE(run.start());
    ASSERT_TRUE(run.screen.wait_for(CONFIRM));
    EXPECT_FALSE(port_is_free(port_path()));
    press_key(run.screen, "n");
    run.finish();
    EXPECT_TRUE(run.screen.wait_for(STOPPED));
    EXPECT_TRUE(port_is_free(port_path()));
}

TEST_F(update_tool, unit_that_fails_every_attempt)
{
    vunit* unit = start_unit({"--fault", "no-reply:11"});
    tool_thread run;
    ASSERT_NO_FATAL_FAILURE(run_to_failure_box(run));
    EXPECT_TRUE(port_is_free(port_path()));
    const std::string first_cycle = run.screen.transcript;
    press_key(run.screen, "y");
    ASSERT_TRUE(run.screen.wait_for(FAILURE_BOX, CYCLE_WAIT_MS));
    EXPECT_TRUE(port_is_free(port_path()));
    ASSERT_NO_FATAL_FAILURE(leave_at_failure_box(run));
    const std::string later_cycle = run.screen.transcript.substr(first_cycle.size());

    const std::string failed = " Fail on EN_FLASH_WR_1\n";
    EXPECT_EQ(occurrences(first_cycle, failed), 20);
    EXPECT_EQ(occurrences(later_cycle, failed), 19);
    EXPECT_EQ(later_cycle.find(CONFIRM), std::string::npos);
    EXPECT_EQ(later_cycle.rfind(FOUND + START, 0), 0u) << later_cycle.substr(0, 200);
    // A pause between each two attempts of a cycle, none before a failure box.
    EXPECT_EQ(pauses.count, 19 + 18);
    EXPECT_EQ(pauses.total_ms, (19 + 18) * ATTEMPT_PAUSE_MS);
    EXPECT_EQ(frames_of(unit, CMD_SET_BAUD_1M, 39), 39);
    // The stored address is read once a cycle: at its first attempt, the second one after the
    // failure box.
    EXPECT_EQ(occurrences(first_cycle, " Read Device BT Address ...\n"), 1);
    EXPECT_EQ(occurrences(later_cycle, " Read Device BT Address ...\n"), 1);
    EXPECT_EQ(frames_of(unit, CMD_READ_BT_INFO, 2), 2);
}

TEST_F(update_tool, unit_whose_checksum_is_wrong_never_succeeds)
{
    vunit* unit = start_unit({"--fault", "bad-crc", "--stored-address", STORED_ADDRESS});
    tool_thread run;
    ASSERT_NO_FATAL_FAILURE(run_to_failure_box(run));
    ASSERT_NO_FATAL_FAILURE(leave_at_failure_box(run));

    const std::string& screen = run.screen.transcript;
    EXPECT_EQ(occurrences(screen, " Verify flash ... Done\n\t !!!!! CRC error !!!!! \n\t Exp:1C BA 22 39 \n"
                                  "\t Get:1D BA 22 39 \n"),
              20);
    EXPECT_EQ(pauses.count, 19);
    EXPECT_EQ(screen.find("Success"), std::string::npos);
    EXPECT_EQ(screen.find(" Reboot MCU "), std::string::npos);
    // Every attempt wrote the address that was read before the first erase.
    EXPECT_TRUE(info_sector_is(unit, STORED_INFO));
    EXPECT_EQ(frames_of(unit, CMD_READ_BT_INFO, 1), 1);
}

struct replug_case {
    const char* name;
    std::vector<std::string> plugged_in;  // the unit's options; none: the first unit, its flash as the unplug left it
    std::vector<uint8_t> info_after;
    bool another;  // the screen says that the unit keeps an address of its own
};

// The first unit is unplugged mid-write, after its address was erased; at the failure box a
// unit is plugged in. Its stored address is read again: a unit without one receives the first
// unit's, a unit with one keeps it.
TEST_F(update_tool, unit_plugged_in_at_the_failure_box)
{
    const replug_case cases[] = {
        {"the first unit again, its address erased", {}, STORED_INFO, false},
        {"another unit, with an address of its own", {"--stored-address", "0604:13:11AB13"},
         info_sector("13 ab 11 13 04 06", "B13"), true},
        {"another unit, with the same address", {"--stored-address", STORED_ADDRESS}, STORED_INFO, false},
    };
    for (const replug_case& c : cases) {
        SCOPED_TRACE(c.name);
        reset_state();
        vunit* first = start_unit({"--stored-address", STORED_ADDRESS, "--fault", "unplug-after-sectors:10"});
        tool_thread run;
        ASSERT_NO_FATAL_FAILURE(run_to_failure_box(run));
        std::vector<uint8_t> flash = vunit_flash(first);
        write_file(cwd / "flash.bin", std::string(flash.begin(), flash.end()));
        stop_unit(first);
        std::vector<std::string> options = c.plugged_in;
        if (options.empty())
            options = {"--flash-in", cwd / "flash.bin"};
        vunit* unit = start_unit(options);
        const size_t box_at = run.screen.transcript.size();
        press_key(run.screen, "y");
        ASSERT_TRUE(run.screen.wait_for(SUCCESS_BOX));
        run.screen.type("\r");
        run.finish();

        EXPECT_TRUE(holds_image(unit));
        EXPECT_TRUE(info_sector_is(unit, c.info_after));
        EXPECT_EQ(frames_of(unit, CMD_READ_BT_INFO, 1), 1);
        const std::string later_cycle = run.screen.transcript.substr(box_at);
        const std::string told = " Read Device BT Address ...\n Another device: it keeps its own BT address 0604 13 11ab13\n";
        EXPECT_EQ(later_cycle.find(told) != std::string::npos, c.another) << later_cycle.substr(0, 400);
        EXPECT_EQ(later_cycle.find("Another device"), later_cycle.rfind("Another device"));
        stop_unit(unit);
    }
}

}  // namespace
