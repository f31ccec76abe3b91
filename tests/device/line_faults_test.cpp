// Programming over a bad line: a seeded random schedule of missing, short and corrupted
// replies, with or without noise, many runs. Whatever happens, programming may report
// success only when the unit's flash holds the image and its information sector the
// address that was meant.
#include <cstring>
#include <random>

#include "device/device.h"
#include "device/flash_layout.h"
#include "image/image.h"
#include "link/frames.h"
#include "link/port.h"
#include "link/state.h"
#include "support/unit_fixture.h"

namespace {

struct faulty_kind {
    int kind;
    int reply_length;
    int frames;  // frames of this kind in one programming run
};

// The programming commands. Boot mode entry has its own tests; a garbled speed change there
// leaves the two sides at different speeds, and a run then costs minutes of time-outs.
const faulty_kind FAULTY_KINDS[] = {
    {EN_FLASH_WR_1, 13, 2},      {EN_FLASH_WR_2, 13, 1},     {CMD_ERASE_FLASH, 16, ERASE_STEPS},
    {CMD_WRITE_SECTOR, 15, 253}, {CMD_WRITE_BT_INFO, 15, 1}, {CMD_VERIFY_FLASH, 11, 1},
};

// One fault of the vunit's --fault option, drawn at random.
std::string random_fault(std::mt19937& rng)
{
    auto pick = [&](int low, int high) { return std::uniform_int_distribution<int>(low, high)(rng); };
    const faulty_kind& k = FAULTY_KINDS[pick(0, sizeof FAULTY_KINDS / sizeof FAULTY_KINDS[0] - 1)];
    std::string kind = std::to_string(k.kind);
    std::string count = std::to_string(pick(1, 2));
    std::string after = std::to_string(pick(0, k.frames - 1));
    switch (pick(0, 2)) {
    case 0:
        return "no-reply:" + kind + ":" + count + ":" + after;
    case 1:
        return "short-reply:" + kind + ":" + std::to_string(pick(1, k.reply_length - 1)) + ":" + count + ":" + after;
    default: {
        std::string bytes;
        for (int i = pick(1, k.reply_length); i > 0; i--) {
            char digits[3];
            snprintf(digits, sizeof digits, "%02X", pick(0, 255));
            bytes += digits;
        }
        return "reply:" + kind + ":" + bytes + ":1:" + after;
    }
    }
}

std::vector<std::string> random_schedule(unsigned seed)
{
    std::mt19937 rng(seed);
    std::vector<std::string> options;
    for (int n = std::uniform_int_distribution<int>(1, 3)(rng); n > 0; n--)
        options.insert(options.end(), {"--fault", random_fault(rng)});
    if (rng() % 2)
        options.insert(options.end(), {"--fault", "noise"});
    return options;
}

bool unit_holds_image_and_address(vunit* unit)
{
    std::vector<uint8_t> flash = vunit_flash(unit);
    std::vector<uint8_t> info(SECTOR_SIZE);
    build_info_sector(info.data());
    const size_t image_bytes = static_cast<size_t>(PLAN_SECTORS_8MBIT) * SECTOR_SIZE;
    return flash.size() >= INFO_SECTOR_ADDRESS + SECTOR_SIZE && memcmp(flash.data(), firmware_image, image_bytes) == 0 &&
           memcmp(flash.data() + INFO_SECTOR_ADDRESS, info.data(), SECTOR_SIZE) == 0;
}

constexpr unsigned RUNS = 40;

using line_faults = unit_test;

TEST_F(line_faults, programming_succeeds_only_with_the_image_and_the_address_in_flash)
{
    // A unit that held another address and other data before: a lost erase or write shows.
    temp_dir files;
    write_file(files / "old-flash", std::string(1024 * 1024, '\x5A'));
    const uint8_t address[6] = {0x45, 0x23, 0x01, 0x21, 0x04, 0x06};
    int successes = 0;
    for (unsigned seed = 1; seed <= RUNS; seed++) {
        std::vector<std::string> options = random_schedule(seed);
        std::string schedule;
        for (const std::string& o : options)
            schedule += o + " ";
        SCOPED_TRACE("seed " + std::to_string(seed) + ": " + schedule);
        options.insert(options.end(), {"--flash-in", files / "old-flash"});
        vunit* unit = start_unit(options);
        memcpy(bt_address, address, sizeof address);
        ASSERT_TRUE(open_unit_port());
        int result = 0;
        printed_by([&] { result = enter_boot_mode() && program_flash(); });
        if (result) {
            successes++;
            EXPECT_TRUE(unit_holds_image_and_address(unit));
        }
        close_port();
        stop_unit(unit);
    }
    EXPECT_GT(successes, 0) << "no schedule let programming through: the test proves nothing";
}

}  // namespace
