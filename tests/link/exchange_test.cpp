// One exchange against the virtual unit: acceptance, retries, the captured chunk.
#include <cstring>

#include "link/exchange.h"
#include "link/pause.h"
#include "link/port.h"
#include "link/state.h"
#include "support/unit_fixture.h"

namespace {

using exchange = unit_test;

// Brings the unit into its loader at 115200 baud, where it serves the loader's commands.
void enter_loader()
{
    ASSERT_EQ(run_command(CMD_PROBE), 1);
    ASSERT_EQ(run_command(CMD_HANDSHAKE), 1);
}

struct exchange_case {
    const char* name;
    std::vector<std::string> faults;
    CommandKind kind;
    int result;
    int sends;        // frames of `kind` the unit received
    int error;        // error_code afterwards (set to 0 before)
    bool loader;      // the unit is brought into its loader first
};

TEST_F(exchange, replies_judged_by_their_length)
{
    const exchange_case table[] = {
        {"full reply", {}, CMD_PROBE, 1, 1, 0, false},
        {"no reply", {"no-reply:1"}, CMD_PROBE, 0, 2, 6, false},
        {"no reply once", {"no-reply:1:1"}, CMD_PROBE, 1, 2, 0, false},
        {"short reply", {"short-reply:1:5"}, CMD_PROBE, 1, 1, 0, false},
        {"speed change refused by a short 04 0E 05 reply", {"reply:7:040E0501E0FC07"}, CMD_SET_BAUD_1M, 0, 2, 6, true},
        {"whole reply beginning 04 0E 05", {"reply:7:040E0501E0FC070000000000"}, CMD_SET_BAUD_1M, 1, 1, 0, true},
        {"short speed-change reply of another shape", {"short-reply:7:7"}, CMD_SET_BAUD_1M, 1, 1, 0, true},
        // The handshake's reply left 04 0E 05 in the capture; a 2-byte reply is judged by its own bytes.
        {"two-byte speed-change reply", {"short-reply:7:2"}, CMD_SET_BAUD_1M, 1, 1, 0, true},
        {"no reply awaited", {"no-reply:21"}, CMD_QUIT, 1, 1, 0, false},
    };
    for (const exchange_case& c : table) {
        SCOPED_TRACE(c.name);
        std::vector<std::string> options;
        for (const std::string& fault : c.faults)
            options.insert(options.end(), {"--fault", fault});
        vunit* unit = start_unit(options);
        ASSERT_TRUE(open_unit_port());
        if (c.loader)
            enter_loader();
        error_code = 0;
        int result = -1;
        EXPECT_EQ(printed_by([&] { result = run_command(c.kind); }), "");
        EXPECT_EQ(result, c.result);
        EXPECT_EQ(error_code, c.error);
        EXPECT_EQ(frames_of(unit, c.kind, c.sends), c.sends);
        close_port();
        stop_unit(unit);
    }
}

TEST_F(exchange, write_failure_is_reported_once)
{
    int result = -1;
    EXPECT_EQ(printed_by([&] { result = run_command(CMD_PROBE); }), " Write file error\n");
    EXPECT_EQ(result, 0);
    EXPECT_EQ(error_code, 4);
}

TEST_F(exchange, bursts_send_their_frames_with_a_pause_after_each)
{
    const struct {
        CommandKind kind;
        int frames;
    } table[] = {{CMD_HANDSHAKE_BURST_LONG, 101}, {CMD_HANDSHAKE_BURST_SHORT, 11}};
    for (const auto& c : table) {
        SCOPED_TRACE(c.kind);
        vunit* unit = start_unit({"--fault", "no-reply:2"});
        ASSERT_TRUE(open_unit_port());
        pauses = pause_log{};
        pauses.sleep = false;
        EXPECT_EQ(run_command(c.kind), 1);
        EXPECT_EQ(pauses.count, c.frames);
        EXPECT_EQ(pauses.total_ms, c.frames * BURST_PAUSE_MS);
        // The three handshake kinds share their bytes; the unit sees handshakes.
        EXPECT_EQ(frames_of(unit, CMD_HANDSHAKE, c.frames), c.frames);
        EXPECT_EQ(kinds_received(unit), std::vector<int>(c.frames, CMD_HANDSHAKE));
        close_port();
        stop_unit(unit);
    }
    reset_state();
    EXPECT_EQ(run_command(CMD_HANDSHAKE_BURST_SHORT), 1);  // no port: every write fails, still 1
    EXPECT_EQ(error_code, 4);
}

TEST_F(exchange, parameter_read_in_the_old_layout_captures_the_third_chunk)
{
    start_unit({"--version", "205", "--params", "00112233445566778899AABBCCDDEEFF"});
    ASSERT_TRUE(open_unit_port());
    enter_loader();
    new_flash_layout = 0;
    flash_read_address = 0x7E000;
    ASSERT_EQ(run_command(CMD_READ_PARAMS), 1);
    ASSERT_EQ(reply_capture_count, 100);
    // reply byte 512 + i is sector byte 497 + i: the block at sector 500, marked at 508.
    EXPECT_EQ(reply_capture[3], 0x00);
    EXPECT_EQ(reply_capture[4], 0x11);
    EXPECT_EQ(reply_capture[11], 'X');
    EXPECT_EQ(reply_capture[12], 'S');
    EXPECT_EQ(reply_capture[18], 0xFF);

    // The same read in the new layout keeps the first chunk; so does the address read.
    for (CommandKind kind : {CMD_READ_PARAMS, CMD_READ_BT_INFO}) {
        new_flash_layout = 1;
        ASSERT_EQ(run_command(kind), 1);
        EXPECT_EQ(reply_capture_count, 100);
    }
}

TEST_F(exchange, a_reply_ending_before_the_captured_chunk_captures_nothing)
{
    start_unit({"--version", "205", "--fault", "short-reply:19:300"});
    ASSERT_TRUE(open_unit_port());
    enter_loader();
    memset(reply_capture, 0xEE, sizeof reply_capture);
    new_flash_layout = 0;
    flash_read_address = 0x7E000;
    EXPECT_EQ(run_command(CMD_READ_PARAMS), 1);  // short, but not empty
    EXPECT_EQ(reply_capture_count, 0);
    EXPECT_EQ(reply_capture[0], 0xEE);
    EXPECT_EQ(reply_capture[99], 0xEE);
}

TEST_F(exchange, bytes_beyond_a_reply_are_the_start_of_the_next)
{
    start_unit({"--fault", "reply:1:040E0601E0FC0100AABBCCDD:1"});
    ASSERT_TRUE(open_unit_port());
    ASSERT_EQ(run_command(CMD_PROBE), 1);
    EXPECT_EQ(reply_capture_count, 8);
    ASSERT_EQ(run_command(CMD_PROBE), 1);
    const uint8_t leftover[] = {0xAA, 0xBB, 0xCC, 0xDD};
    EXPECT_EQ(memcmp(reply_capture, leftover, 4), 0);
}

TEST_F(exchange, capture_keeps_at_most_100_bytes)
{
    uint8_t bytes[300];
    for (int i = 0; i < 300; i++)
        bytes[i] = static_cast<uint8_t>(i);
    const struct {
        int count;
        int copied;
    } table[] = {{-1, 0}, {0, 0}, {33, 33}, {100, 100}, {256, 100}};
    for (const auto& c : table) {
        SCOPED_TRACE(c.count);
        memset(reply_capture, 0xEE, sizeof reply_capture);
        EXPECT_EQ(capture_reply(c.count, bytes), c.copied);
        EXPECT_EQ(memcmp(reply_capture, bytes, static_cast<size_t>(c.copied)), 0);
        if (c.copied < 100) {
            EXPECT_EQ(reply_capture[c.copied], 0xEE);
        }
    }
}

}  // namespace
