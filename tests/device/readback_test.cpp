// Read-back of the stored address and parameter block in both flash layouts, against the
// virtual unit's flash.
#include <cstring>

#include "device/device.h"
#include "link/port.h"
#include "link/state.h"
#include "support/unit_fixture.h"

namespace {

const char* const NEW_LAYOUT = "605";
const char* const OLD_LAYOUT = "205";
const uint8_t DEFAULT_ADDRESS[6] = {0x00, 0x01, 0x00, 0x03, 0x04, 0x06};
const uint8_t STORED_ADDRESS[6] = {0x56, 0x34, 0x12, 0x21, 0x04, 0x06};  // 0604:21:123456
const char HEADING[] = " Read Device BT Address ...\n";
const char PARAMS_HEADING[] = " Check Device Parameters ...";
const char BLOCK_HEX[] = "00112233445566778899AABBCCDDEEFF";
const char BLOCK_SHOWN[] =
    "\n\n Parameters:  0x00 0x11 0x22 0x33 0x44 0x55 0x66 0x77 0x88 0x99 0xaa 0xbb 0xcc 0xdd 0xee 0xff\n\n";
const int32_t BLOCK_WORDS[4] = {0x33221100, 0x77665544, static_cast<int32_t>(0xBBAA9988), static_cast<int32_t>(0xFFEEDDCC)};
// In the old layout the marker is the block's own bytes 8 and 9.
const int32_t OLD_BLOCK_WORDS[4] = {0x33221100, 0x77665544, static_cast<int32_t>(0xBBAA5358), static_cast<int32_t>(0xFFEEDDCC)};

class readback : public unit_test {
protected:
    // A unit whose version has been read and that is in its loader, as the tools have it.
    void loader_unit(const char* version, std::vector<std::string> options)
    {
        options.insert(options.end(), {"--version", version});
        vunit* unit = start_unit(options);
        ASSERT_TRUE(unit);
        ASSERT_TRUE(open_unit_port());
        ASSERT_EQ(query_fw_version(), 1);
        ASSERT_EQ(enter_boot_mode(), 1);
    }

    void done(bool last_unit = true)
    {
        close_port();
        if (last_unit && !units.empty())
            stop_unit(units.back());
    }

    // A flash file of the unit's size, erased, with `bytes` at `at`.
    std::string flash_file(uint32_t at, const std::vector<uint8_t>& bytes)
    {
        std::string flash(1024 * 1024, '\xFF');
        memcpy(&flash[at], bytes.data(), bytes.size());
        std::string path = dev / "flash.bin";
        write_file(path, flash);
        return path;
    }
};

struct address_case {
    const char* name;
    const char* version;
    std::vector<std::string> options;
    int take;
    std::string output;  // after the heading
    int result;
    const uint8_t* address_after;
};

TEST_F(readback, stored_address_kept_or_shown)
{
    const std::vector<std::string> stored = {"--stored-address", "0604:21:123456"};
    const address_case table[] = {
        {"keep, new layout", NEW_LAYOUT, stored, 1, "", 1, STORED_ADDRESS},
        {"keep, old layout", OLD_LAYOUT, stored, 1, "", 1, STORED_ADDRESS},
        {"show, NAP first", NEW_LAYOUT, stored, 0, "\n\t Device BT address :  06 04 21 12 34 56\n\n", 1, DEFAULT_ADDRESS},
        {"show, old layout", OLD_LAYOUT, stored, 0, "\n\t Device BT address :  06 04 21 12 34 56\n\n", 1, DEFAULT_ADDRESS},
        {"keep, nothing stored", NEW_LAYOUT, {}, 1, "", 1, DEFAULT_ADDRESS},
        {"show, nothing stored", NEW_LAYOUT, {}, 0, "\n\t Device has NO stored BT address. \n", 1, DEFAULT_ADDRESS},
        // A reply cut before the name text must not read as "nothing stored": the update tool
        // would then give the unit the default address in place of its own.
        {"reply cut before the name text", NEW_LAYOUT, {"--stored-address", "0604:21:123456", "--fault", "short-reply:18:22"},
         1, " Fail to read flash add = 0xfd000\n", 0, DEFAULT_ADDRESS},
        {"reply cut, old layout", OLD_LAYOUT, {"--fault", "short-reply:18:20"}, 0,
         " Fail to read flash add = 0x7d000\n", 0, DEFAULT_ADDRESS},
        {"no reply", NEW_LAYOUT, {"--fault", "no-reply:18"}, 1, " Fail to read flash add = 0xfd000\n", 0, DEFAULT_ADDRESS},
    };
    for (const address_case& c : table) {
        SCOPED_TRACE(c.name);
        loader_unit(c.version, c.options);
        memcpy(bt_address, DEFAULT_ADDRESS, sizeof bt_address);
        bt_address_loaded = 1;
        int result = -1;
        EXPECT_EQ(printed_by([&] { result = read_bt_address(c.take); }), HEADING + c.output);
        EXPECT_EQ(result, c.result);
        EXPECT_EQ(bt_address_loaded, c.result);
        EXPECT_EQ(memcmp(bt_address, c.address_after, 6), 0);
        done();
    }
}

TEST_F(readback, address_after_programming_reads_as_written)
{
    loader_unit(NEW_LAYOUT, {});
    memcpy(bt_address, STORED_ADDRESS, sizeof bt_address);
    ASSERT_EQ(printed_by(program_flash).find("CRC"), std::string::npos);
    memcpy(bt_address, DEFAULT_ADDRESS, sizeof bt_address);
    EXPECT_EQ(printed_by([] { EXPECT_EQ(read_bt_address(0), 1); }),
              HEADING + std::string("\n\t Device BT address :  06 04 21 12 34 56\n\n"));
    EXPECT_EQ(printed_by([] { EXPECT_EQ(read_params(), 1); }),
              PARAMS_HEADING + std::string("\n RB = ff ff ff ff ff ff ff ff ff ff ff ff ff ff ff ff \n") +
                  "\n\n No Stored Parameters: Use default. \n\n");
    done();
}

TEST_F(readback, nothing_read_before_the_version_is_known)
{
    vunit* unit = start_unit();
    ASSERT_TRUE(open_unit_port());
    ASSERT_EQ(enter_boot_mode(), 1);
    size_t frames = vunit_frames(unit).size();
    bt_address_loaded = 1;
    device_params[0] = 7;
    EXPECT_EQ(printed_by([] { EXPECT_EQ(read_bt_address(1), 0); }), " Can't determine firmware version, No ID\n");
    EXPECT_EQ(bt_address_loaded, 0);
    EXPECT_EQ(printed_by([] { EXPECT_EQ(read_params(), 0); }), " Can't determine firmware version, No ID\n");
    EXPECT_EQ(device_params[0], 7);
    EXPECT_EQ(vunit_frames(unit).size(), frames);
}

struct params_case {
    const char* name;
    const char* version;
    uint32_t flash_at;                 // where the crafted bytes go (0: use --params instead)
    std::vector<uint8_t> crafted;
    std::vector<std::string> options;
    std::string output;                // after the heading
    int result;
    const int32_t* words;              // device_params afterwards; nullptr: all ones
};

std::vector<uint8_t> marker_then_block(int gap)  // "XS", `gap` bytes, the block
{
    std::vector<uint8_t> bytes = {'X', 'S'};
    bytes.insert(bytes.end(), static_cast<size_t>(gap), 0xFF);
    for (int i = 0; i < 16; i++)
        bytes.push_back(static_cast<uint8_t>(i * 0x11));
    return bytes;
}

std::vector<uint8_t> block_with_marker()  // the block whose own bytes 8 and 9 read "XS"
{
    std::vector<uint8_t> bytes;
    for (int i = 0; i < 16; i++)
        bytes.push_back(static_cast<uint8_t>(i * 0x11));
    bytes[8] = 'X';
    bytes[9] = 'S';
    return bytes;
}

TEST_F(readback, parameter_block_at_either_candidate_in_both_layouts)
{
    const std::string rb_first = "\n RB = 58 53 ff 0 11 22 33 44 55 66 77 88 99 aa bb cc \n";
    const std::string rb_later = "\n RB = ff 58 53 ff 0 11 22 33 44 55 66 77 88 99 aa bb \n";
    const std::string old_block_shown =
        "\n\n Parameters:  0x00 0x11 0x22 0x33 0x44 0x55 0x66 0x77 0x58 0x53 0xaa 0xbb 0xcc 0xdd 0xee 0xff\n\n";
    const std::string none = "\n\n No Stored Parameters: Use default. \n\n";
    const params_case table[] = {
        {"new layout, first place", NEW_LAYOUT, 0, {}, {"--params", BLOCK_HEX}, rb_first + BLOCK_SHOWN, 1, BLOCK_WORDS},
        {"new layout, one byte later", NEW_LAYOUT, 0xFD000 + 49, marker_then_block(1), {}, rb_later + BLOCK_SHOWN, 1, BLOCK_WORDS},
        {"old layout, first place", OLD_LAYOUT, 0, {}, {"--params", BLOCK_HEX}, old_block_shown, 1, OLD_BLOCK_WORDS},
        {"old layout, one byte later", OLD_LAYOUT, 0x7E000 + 501, block_with_marker(), {}, old_block_shown, 1, OLD_BLOCK_WORDS},
        {"nothing stored, new layout", NEW_LAYOUT, 0, {}, {},
         "\n RB = ff ff ff ff ff ff ff ff ff ff ff ff ff ff ff ff \n" + none, 1, nullptr},
        {"nothing stored, old layout", OLD_LAYOUT, 0, {}, {}, none, 1, nullptr},
        {"reply cut inside the block, new layout", NEW_LAYOUT, 0, {}, {"--params", BLOCK_HEX, "--fault", "short-reply:18:80"},
         " Fail to read flash add = 0xfd000\n", 0, nullptr},
        {"reply cut before the third chunk's block, old layout", OLD_LAYOUT, 0, {},
         {"--params", BLOCK_HEX, "--fault", "short-reply:18:520"}, " Fail to read flash add = 0x7e000\n", 0, nullptr},
    };
    for (const params_case& c : table) {
        SCOPED_TRACE(c.name);
        std::vector<std::string> options = c.options;
        if (!c.crafted.empty())
            options.insert(options.end(), {"--flash-in", flash_file(c.flash_at, c.crafted)});
        loader_unit(c.version, options);
        int result = -1;
        EXPECT_EQ(printed_by([&] { result = read_params(); }), PARAMS_HEADING + c.output);
        EXPECT_EQ(result, c.result);
        for (int word = 0; word < 4; word++)
            EXPECT_EQ(device_params[word], c.words ? c.words[word] : -1);
        done();
    }
}

}  // namespace
