// Every frame of the catalogue, checked byte for byte as it arrives on the far side of a real
// pseudo-terminal, with the reply length that send_command hands to the exchange.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <unistd.h>

#include <vector>

#include "device/flash_layout.h"
#include "image/image.h"
#include "link/frames.h"
#include "link/port.h"
#include "link/state.h"
#include "support/support.h"

namespace {

class frames : public ::testing::Test {
protected:
    temp_dir dev;
    scoped_env env{"PELMO4RIX_DEVICE_DIR", dev.path};
    far_end unit;

    void SetUp() override
    {
        reset_state();
        unit.link_as(dev.path, "COM7");
        ASSERT_EQ(open_port("COM7"), 1);
        ASSERT_EQ(configure_port(BAUD_DEFAULT), 1);
    }
    void TearDown() override { reset_state(); }

    // Sends `kind` and returns what the far side received: `expect` bytes, and nothing after.
    std::vector<uint8_t> send(CommandKind kind, int32_t& reply, size_t expect)
    {
        reply = send_command(kind);
        std::vector<uint8_t> got = unit.read(expect, 2000);
        EXPECT_TRUE(unit.read(1, 20).empty()) << "more than the frame arrived";
        return got;
    }
};

struct fixed_frame {
    CommandKind kind;
    const char* bytes;
    int32_t reply;
};

TEST_F(frames, fixed_frames_byte_for_byte_with_their_reply_lengths)
{
    const fixed_frame table[] = {
        {CMD_PROBE, "01 E0 FC 01 00", 8},
        {CMD_HANDSHAKE, "01 E0 FC 02 AA 55", 8},
        {CMD_HANDSHAKE_BURST_LONG, "01 E0 FC 02 AA 55", 0},
        {CMD_HANDSHAKE_BURST_SHORT, "01 E0 FC 02 AA 55", 0},
        {CMD_BOOT_PATTERN, "01 E0 FC 05 FE 95 27 95 27", 0},
        {CMD_SET_BAUD_1M, "01 E0 FC 06 0F 40 42 0F 00 0F", 12},
        {CMD_RESTART_1, "01 E0 FC 09 01 00 80 F4 00 01 00 5A 00", 15},
        {CMD_RESTART_2, "01 E0 FC 09 01 00 80 F4 00 01 00 A5 00", 5},
        {EN_FLASH_WR_1, "01 E0 FC FF F4 02 00 0C 05", 13},
        {EN_FLASH_WR_2, "01 E0 FC FF F4 03 00 0D 01 00", 13},
        {CMD_VERIFY_FLASH, "01 E0 FC 09 10 00 00 00 00 FF CF 07 00", 11},
        {CMD_QUIT, "2F 71", 0},
        {CMD_GET_VERSION, "2F 76", 33},
        {CMD_DEBUG_ON, "2F 64", 0},
        {CMD_VERSION_NOREPLY, "2F 76", 0},
    };
    for (const fixed_frame& f : table) {
        SCOPED_TRACE(f.kind);
        int32_t reply = -1;
        std::vector<uint8_t> expected = unhex(f.bytes);
        std::vector<uint8_t> got = send(f.kind, reply, expected.size());
        EXPECT_EQ(hex(got), f.bytes);
        EXPECT_EQ(reply, f.reply);
        EXPECT_EQ(last_command, f.kind);
    }
    EXPECT_EQ(error_code, 0);
}

TEST_F(frames, erase_address_forms_at_their_edges)
{
    const struct {
        int32_t step;
        const char* tail;
    } table[] = {
        {0, "D8 00 00 00 00"},
        {15, "D8 00 00 0F 00"},
        {16, "20 00 00 0F 00"},
        {29, "20 00 D0 0F 00"},
    };
    for (const auto& c : table) {
        SCOPED_TRACE(c.step);
        erase_step = c.step;
        int32_t reply = 0;
        EXPECT_EQ(hex(send(CMD_ERASE_FLASH, reply, 13)), std::string("01 E0 FC FF F4 06 00 0F ") + c.tail);
        EXPECT_EQ(reply, 16);
    }
}

// Frames of a range or address the caller chooses: the same shapes as kinds 17 and 13, sent
// with those kinds' reply lengths.
TEST_F(frames, checksum_and_erase_of_a_chosen_range)
{
    const struct {
        const char* name;
        bool checksum;  // else an erase with opcode `a` at `b`
        uint32_t a, b;  // the checksum's first and last address
        const char* bytes;
        int32_t reply;
    } table[] = {
        {"checksum of sector 253", true, 0xFD000, 0xFDFFF, "01 E0 FC 09 10 00 D0 0F 00 FF DF 0F 00", 11},
        {"4 KB erase of sector 0", false, ERASE_SECTOR_OPCODE, 0, "01 E0 FC FF F4 06 00 0F 20 00 00 00 00", 16},
        {"64 KB erase of block 12", false, ERASE_BLOCK_OPCODE, 0xC0000, "01 E0 FC FF F4 06 00 0F D8 00 00 0C 00", 16},
    };
    for (const auto& c : table) {
        SCOPED_TRACE(c.name);
        uint8_t frame[FRAME_MAX];
        int length = c.checksum ? build_checksum_frame(c.a, c.b, frame) : build_erase_frame(uint8_t(c.a), c.b, frame);
        const CommandKind kind = c.checksum ? CMD_VERIFY_FLASH : CMD_ERASE_FLASH;
        EXPECT_EQ(send_frame(kind, frame, length), c.reply);
        EXPECT_EQ(hex(unit.read(static_cast<size_t>(length), 2000)), c.bytes);
        EXPECT_EQ(last_command, kind);
    }
}

TEST_F(frames, sector_writes_carry_address_and_image_sector)
{
    const struct {
        int32_t sector;
        const char* address;
    } table[] = {{0, "00 00 00 00"}, {1, "00 10 00 00"}, {252, "00 C0 0F 00"}};
    for (const auto& c : table) {
        SCOPED_TRACE(c.sector);
        sector_index = c.sector;
        int32_t reply = 0;
        std::vector<uint8_t> got = send(CMD_WRITE_SECTOR, reply, FRAME_MAX);
        ASSERT_EQ(got.size(), static_cast<size_t>(FRAME_MAX));
        EXPECT_EQ(hex({got.begin(), got.begin() + 12}), std::string("01 E0 FC FF F4 05 10 07 ") + c.address);
        EXPECT_TRUE(std::equal(got.begin() + 12, got.end(), firmware_image + c.sector * SECTOR_SIZE));
        EXPECT_EQ(reply, 15);
    }
}

TEST_F(frames, info_sector_write_carries_the_current_address)
{
    const uint8_t address[6] = {0xDE, 0xBC, 0x0A, 0x03, 0x04, 0x06};
    memcpy(bt_address, address, 6);
    int32_t reply = 0;
    std::vector<uint8_t> got = send(CMD_WRITE_BT_INFO, reply, FRAME_MAX);
    ASSERT_EQ(got.size(), static_cast<size_t>(FRAME_MAX));
    EXPECT_EQ(hex({got.begin(), got.begin() + 12}), "01 E0 FC FF F4 05 10 07 00 D0 0F 00");
    uint8_t sector[SECTOR_SIZE];
    build_info_sector(sector);
    EXPECT_TRUE(std::equal(got.begin() + 12, got.end(), sector));
    EXPECT_EQ(reply, 15);
}

TEST_F(frames, read_commands_await_the_reply_of_the_flash_layout)
{
    flash_read_address = 0xFD000;
    const struct {
        int32_t layout;
        int32_t reply;
    } table[] = {{-1, 256}, {1, 256}, {0, 4110}};
    for (const auto& c : table) {
        for (CommandKind kind : {CMD_READ_BT_INFO, CMD_READ_PARAMS}) {
            SCOPED_TRACE(testing::Message() << "kind " << kind << " layout " << c.layout);
            new_flash_layout = c.layout;
            int32_t reply = 0;
            EXPECT_EQ(hex(send(kind, reply, 12)), "01 E0 FC FF F4 05 00 09 00 D0 0F 00");
            EXPECT_EQ(reply, c.reply);
        }
    }
}

TEST_F(frames, numbers_outside_the_catalogue_send_nothing)
{
    error_code = 42;
    for (CommandKind kind : {0, 6, 8, 16, 20, 25, -1}) {
        SCOPED_TRACE(kind);
        EXPECT_EQ(send_command(kind), 0);
        EXPECT_TRUE(unit.read(1, 50).empty());
        EXPECT_EQ(last_command, kind);
    }
    EXPECT_EQ(error_code, 42);
}

TEST_F(frames, failed_and_short_writes)
{
    // A write that can't be made at all: no port.
    close_port();
    EXPECT_EQ(send_command(CMD_PROBE), SEND_FAILED);
    EXPECT_EQ(error_code, 4);

    // A write cut short: nobody reads the line and its buffers are full.
    error_code = 0;
    ASSERT_EQ(open_port("COM7"), 1);
    ASSERT_EQ(configure_port(BAUD_DEFAULT), 1);
    int filler = open(unit.terminal.c_str(), O_WRONLY | O_NONBLOCK | O_NOCTTY);
    ASSERT_GE(filler, 0);
    std::vector<uint8_t> block(4096, 0x55);
    // The pseudo-terminal moves bytes between its buffers in the background: fill until full.
    for (int quiet = 0; quiet < 5;) {
        if (write(filler, block.data(), block.size()) > 0)
            quiet = 0;
        else
            quiet++, usleep(10000);
    }
    close(filler);
    EXPECT_EQ(send_command(CMD_PROBE), 8);
    EXPECT_EQ(error_code, 5);
}

}  // namespace
