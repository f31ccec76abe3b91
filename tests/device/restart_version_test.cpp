// Restart and firmware version query against the virtual unit.
#include <cstring>

#include "device/device.h"
#include "link/exchange.h"
#include "link/port.h"
#include "link/state.h"
#include "support/unit_fixture.h"

namespace {

using restart = unit_test;
using version = unit_test;

TEST_F(restart, unit_at_the_default_speed_takes_the_second_pair)
{
    vunit* unit = start_unit();
    ASSERT_TRUE(open_unit_port());
    restart_device();
    EXPECT_EQ(kinds_received(unit, BAUD_DEFAULT), (std::vector<int>{CMD_RESTART_1, CMD_RESTART_2}));
    EXPECT_EQ(last_command, CMD_RESTART_2);
    EXPECT_EQ(run_command(CMD_PROBE), 1);  // both sides at 115200 again
}

TEST_F(restart, unit_in_its_loader_takes_the_first_pair)
{
    vunit* unit = start_unit();
    ASSERT_TRUE(open_unit_port());
    ASSERT_EQ(run_command(CMD_PROBE), 1);
    ASSERT_EQ(run_command(CMD_HANDSHAKE), 1);
    ASSERT_EQ(run_command(CMD_SET_BAUD_1M), 1);
    ASSERT_EQ(configure_port(BAUD_LOADER), 1);
    restart_device();
    EXPECT_EQ(kinds_received(unit, BAUD_LOADER), (std::vector<int>{CMD_RESTART_1, CMD_RESTART_2}));
    EXPECT_EQ(vunit_baud(unit), BAUD_DEFAULT);
    EXPECT_EQ(run_command(CMD_PROBE), 1);  // the port is back at 115200 too
}

TEST_F(restart, silent_unit_costs_every_exchange_two_attempts)
{
    vunit* unit = start_unit({"--fault", "no-reply:9", "--fault", "no-reply:10"});
    ASSERT_TRUE(open_unit_port());
    error_code = 0;
    EXPECT_EQ(printed_by(restart_device), "");
    EXPECT_EQ(error_code, 6);
    EXPECT_EQ(kinds_received(unit, BAUD_DEFAULT),
              (std::vector<int>{CMD_RESTART_1, CMD_RESTART_1, CMD_RESTART_2, CMD_RESTART_2}));
    EXPECT_EQ(run_command(CMD_PROBE), 1);  // the port ends at 115200
}

// The marker search over what the last reply delivered.
TEST(version_marker, found_only_where_marker_and_version_lie_in_the_delivered_bytes)
{
    const struct {
        std::vector<int> at;  // where markers are put
        int delivered;
        int found;
    } table[] = {
        {{0}, 100, 0},
        {{84}, 100, 84},
        {{85}, 100, -1},
        {{40, 10}, 100, 10},  // the one nearer the start
        {{17}, 33, 17},       // the last start a 33-byte reply can hold
        {{18}, 33, -1},
        {{10}, 20, -1},       // version characters past the delivered bytes
        {{0}, 0, -1},
    };
    for (const auto& c : table) {
        SCOPED_TRACE(testing::Message() << c.at[0] << " in " << c.delivered);
        memset(reply_capture, '.', sizeof reply_capture);
        for (int at : c.at)
            memcpy(reply_capture + at, "PR Version", 10);
        reply_capture_count = c.delivered;
        EXPECT_EQ(find_version_marker(), c.found);
    }
}

std::string version_reply(const std::string& version)
{
    std::string text = "\r\nPR Version = " + version + "\r\n";
    text.resize(33, ' ');
    std::string hex;
    char two[3];
    for (unsigned char c : text) {
        snprintf(two, sizeof two, "%02X", c);
        hex += two;
    }
    return hex;
}

TEST_F(version, version_characters_choose_the_flash_layout)
{
    const struct {
        std::vector<std::string> options;
        const char* printed;
        int layout;
    } table[] = {
        {{"--version", "305"}, "305", 1},
        {{"--version", "605"}, "605", 1},
        {{"--version", "205"}, "205", 0},
        {{"--version", "A01"}, "A01", 1},
        {{"--fault", "reply:22:" + version_reply("\x80" "01")}, "\x80" "01", 0},  // signed: below '2'
    };
    for (const auto& c : table) {
        SCOPED_TRACE(c.printed);
        reset_state();
        start_unit(c.options);
        ASSERT_TRUE(open_unit_port());
        int result = 0;
        EXPECT_EQ(printed_by([&] { result = query_fw_version(); }),
                  std::string(" Current Device Firmware Version = ") + c.printed + "\n");
        EXPECT_EQ(result, 1);
        EXPECT_EQ(std::string(fw_version, 3), c.printed);
        EXPECT_EQ(new_flash_layout, c.layout);
        close_port();
        stop_unit(units.back());
    }
}

TEST_F(version, failed_queries_keep_the_layout_and_report_no_version)
{
    // A first unit reports its version; a second one answers "/v" without a marker. What the
    // first reply left in the capture must not pass for the second unit's version.
    vunit* first = start_unit({"--version", "605"});
    ASSERT_TRUE(open_unit_port());
    ASSERT_EQ(query_fw_version(), 1);
    close_port();
    stop_unit(first);

    const struct {
        const char* fault;
    } table[] = {
        {"reply:22:0D0A"},  // overwrites only the line end before the old marker
        {"reply:22:0D0A3F3F0D0A"},
        {"no-reply:22"},
    };
    for (const auto& c : table) {
        SCOPED_TRACE(c.fault);
        vunit* second = start_unit({"--fault", c.fault});
        ASSERT_TRUE(open_unit_port());
        int result = -1;
        EXPECT_EQ(printed_by([&] { result = query_fw_version(); }), "");
        EXPECT_EQ(result, 0);
        EXPECT_EQ(std::string(fw_version, 3), "000");
        EXPECT_EQ(new_flash_layout, 1);
        close_port();
        stop_unit(second);
    }
}

}  // namespace
