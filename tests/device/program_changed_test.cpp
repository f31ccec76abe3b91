// Programming only the sectors that differ, against the virtual unit: which sectors the unit
// was told to erase and write (its frame log), and what its flash holds afterwards.
#include <algorithm>
#include <chrono>
#include <cstring>

#include "device/device.h"
#include "device/flash_layout.h"
#include "image/crc32.h"
#include "image/image.h"
#include "link/frames.h"
#include "link/port.h"
#include "link/state.h"
#include "support/unit_fixture.h"

namespace {

constexpr int INFO_SECTOR = INFO_SECTOR_ADDRESS / SECTOR_SIZE;
const uint8_t HELD_ADDRESS[6] = {0xB2, 0xA1, 0x00, 0x03, 0x04, 0x06};   // 0604:03:00a1b2
const uint8_t OTHER_ADDRESS[6] = {0x00, 0x01, 0x00, 0x03, 0x04, 0x06};  // 0604:03:000100

uint32_t le32_at(const std::vector<uint8_t>& bytes, size_t at)
{
    return bytes[at] | bytes[at + 1] << 8 | bytes[at + 2] << 16 | static_cast<uint32_t>(bytes[at + 3]) << 24;
}

struct erase_seen {
    uint8_t opcode;
    int sector;
    bool operator==(const erase_seen& o) const { return opcode == o.opcode && sector == o.sector; }
};
constexpr uint8_t BLOCK = ERASE_BLOCK_OPCODE, SECTOR = ERASE_SECTOR_OPCODE;

class only_changed : public unit_test {
protected:
    temp_dir files;
    const char* saved_version = image_version;
    void TearDown() override
    {
        image_version = saved_version;
        flash_progress = print_progress_dots;
        unit_test::TearDown();
    }

    // A flash of `mbit` holding the plan's image sectors and the information sector of
    // `address`, with one byte changed in each of `changed` (INFO_SECTOR: the information
    // sector); `blank`: all erased.
    std::string flash_file(int mbit, const uint8_t address[6], const std::vector<int>& changed, bool blank = false)
    {
        const size_t size = static_cast<size_t>(mbit) * 1024 * 1024 / 8;
        std::string flash(size, '\xFF');
        if (!blank) {
            memcpy(&flash[0], firmware_image, static_cast<size_t>(flash_plan_sectors()) * SECTOR_SIZE);
            memcpy(bt_address, address, 6);
            build_info_sector(reinterpret_cast<uint8_t*>(&flash[(INFO_SECTOR_ADDRESS & (size - 1))]));
        }
        for (int s : changed)
            flash[(static_cast<size_t>(s) * SECTOR_SIZE + 100) & (size - 1)] ^= 0x5A;
        std::string path = files / "flash.bin";
        write_file(path, flash);
        return path;
    }

    // A unit holding that flash, in its loader at 1,000,000 baud; the run writes `address`.
    vunit* unit_holding(const std::string& flash, const uint8_t address[6], std::vector<std::string> options = {},
                        int mbit = 8)
    {
        options.insert(options.end(), {"--flash-in", flash, "--flash-mbit", std::to_string(mbit)});
        vunit* unit = loader_unit(options);
        memcpy(bt_address, address, 6);
        return unit;
    }

    // Flash sectors the unit was told to write (the information sector as INFO_SECTOR), in order.
    static std::vector<int> written(vunit* unit)
    {
        std::vector<int> sectors;
        for (const vunit_frame& f : vunit_frames(unit))
            if (f.kind == CMD_WRITE_SECTOR || f.kind == CMD_WRITE_BT_INFO)
                sectors.push_back(static_cast<int>(le32_at(f.bytes, 8) / SECTOR_SIZE));
        return sectors;
    }

    static std::vector<erase_seen> erased(vunit* unit)
    {
        std::vector<erase_seen> list;
        for (const vunit_frame& f : vunit_frames(unit))
            if (f.kind == CMD_ERASE_FLASH)
                list.push_back({f.bytes[8], static_cast<int>(le32_at(f.bytes, 9) / SECTOR_SIZE)});
        return list;
    }

    // The flash holds the plan's image sectors and the information sector of bt_address.
    static void expect_plan_in_flash(vunit* unit)
    {
        std::vector<uint8_t> flash = vunit_flash(unit);
        const size_t image_bytes = static_cast<size_t>(flash_plan_sectors()) * SECTOR_SIZE;
        EXPECT_EQ(memcmp(flash.data(), firmware_image, image_bytes), 0);
        uint8_t info[SECTOR_SIZE];
        build_info_sector(info);
        EXPECT_EQ(memcmp(flash.data() + (INFO_SECTOR_ADDRESS & (flash.size() - 1)), info, SECTOR_SIZE), 0);
    }
};

std::vector<int> range(int first, int last)
{
    std::vector<int> all;
    for (int s = first; s <= last; s++)
        all.push_back(s);
    return all;
}

std::vector<erase_seen> block_erases(int first, int last)
{
    std::vector<erase_seen> list;
    for (int b = first; b <= last; b++)
        list.push_back({BLOCK, b * 16});
    return list;
}

std::vector<erase_seen> whole_plan_erases()
{
    std::vector<erase_seen> list = block_erases(0, 15);
    for (int s = 240; s <= INFO_SECTOR; s++)
        list.push_back({SECTOR, s});
    return list;
}

struct changed_case {
    const char* name;
    const uint8_t* held;     // the address the unit holds
    const uint8_t* given;    // the address this run writes
    std::vector<int> changed;
    bool blank;
    std::vector<erase_seen> erases;
    std::vector<int> writes;
    int checksums;  // kind 17 frames, the final one included
};

TEST_F(only_changed, erases_and_writes_exactly_the_sectors_that_differ)
{
    // The image's sectors 200 to 252 are erased ones: on a blank unit they already match.
    std::vector<erase_seen> blank_erases = {{SECTOR, 0}};
    std::vector<erase_seen> blocks = block_erases(0, 11);
    blank_erases.insert(blank_erases.end(), blocks.begin(), blocks.end());
    for (int s = 192; s < 200; s++)
        blank_erases.push_back({SECTOR, s});
    blank_erases.push_back({SECTOR, INFO_SECTOR});
    std::vector<int> blank_writes = range(1, 199);
    blank_writes.insert(blank_writes.end(), {INFO_SECTOR, 0});
    std::vector<erase_seen> block_one = {{SECTOR, 0}, {BLOCK, 16}};
    std::vector<int> block_one_writes = range(16, 31);
    block_one_writes.push_back(0);

    const changed_case table[] = {
        {"the same image and address: sector 0 alone", HELD_ADDRESS, HELD_ADDRESS, {}, false, {{SECTOR, 0}}, {0}, 17},
        {"one sector changed", HELD_ADDRESS, HELD_ADDRESS, {70}, false, {{SECTOR, 0}, {SECTOR, 70}}, {70, 0}, 17 + 16},
        {"two sectors of one block, one beyond the final checksum", HELD_ADDRESS, HELD_ADDRESS, {200, 201}, false,
         {{SECTOR, 0}, {SECTOR, 200}, {SECTOR, 201}}, {200, 201, 0}, 17 + 16},
        {"another address: the information sector", HELD_ADDRESS, OTHER_ADDRESS, {}, false,
         {{SECTOR, 0}, {SECTOR, INFO_SECTOR}}, {INFO_SECTOR, 0}, 17 + 14},
        {"a whole block: one 64 KB erase", HELD_ADDRESS, HELD_ADDRESS, range(16, 31), false, block_one, block_one_writes,
         17 + 16},
        {"a blank unit: blocks erased whole, no sector asked", OTHER_ADDRESS, OTHER_ADDRESS, {}, true, blank_erases,
         blank_writes, 17},
    };
    for (const changed_case& c : table) {
        SCOPED_TRACE(c.name);
        std::string flash = flash_file(8, c.held, c.changed, c.blank);
        vunit* unit = unit_holding(flash, c.given);
        change_report report;
        int result = -1;
        printed_by([&] { result = program_changed_flash(report); });
        EXPECT_EQ(result, 1);
        EXPECT_EQ(error_code, 0);
        EXPECT_EQ(erased(unit), c.erases);
        EXPECT_EQ(written(unit), c.writes);
        EXPECT_EQ(frames_of_kind(unit, CMD_VERIFY_FLASH), c.checksums);
        expect_plan_in_flash(unit);
        EXPECT_FALSE(report.whole_plan);
        EXPECT_EQ(report.compared, 253);
        EXPECT_EQ(report.written, static_cast<int>(c.writes.size()));
        EXPECT_EQ(report.skipped, 254 - report.written);
        close_port();
        stop_unit(unit);
    }
}

// On the 4 Mbit part the information sector wraps into the image's last block: a block whose
// image sectors all differ is erased sector by sector, and an unchanged information sector
// stays as it was.
TEST_F(only_changed, four_mbit_plan_keeps_the_information_sector_beside_a_changed_block)
{
    image_version = "2.05";
    std::string flash = flash_file(4, HELD_ADDRESS, range(112, 124));
    vunit* unit = unit_holding(flash, HELD_ADDRESS, {}, 4);
    change_report report;
    int result = -1;
    printed_by([&] { result = program_changed_flash(report); });
    EXPECT_EQ(result, 1);
    std::vector<erase_seen> erases = {{SECTOR, 0}};
    for (int s = 112; s <= 124; s++)
        erases.push_back({SECTOR, s});
    EXPECT_EQ(erased(unit), erases);
    std::vector<int> writes = range(112, 124);
    writes.push_back(0);
    EXPECT_EQ(written(unit), writes);
    expect_plan_in_flash(unit);
    EXPECT_EQ(report.compared, 125);
    EXPECT_EQ(report.skipped, 126 - 14);
}

// The time saved is the whole plan's on a typical part at 1,000,000 baud (the wire time of its
// frames and replies and the part's busy times: link_bench's limits for the two plans) less
// this run's. The unit's final checksum alone takes 100 ms, so this run takes at least that;
// it takes at most what the call took by the test's clock.
TEST_F(only_changed, time_saved_is_the_whole_plans_less_this_runs)
{
    const struct {
        const char* version;
        int mbit;
        double whole_plan_s;
    } table[] = {{saved_version, 8, 16.511}, {"2.05", 4, 9.826}};
    for (const auto& c : table) {
        SCOPED_TRACE(c.version);
        image_version = c.version;
        vunit* unit = unit_holding(flash_file(c.mbit, HELD_ADDRESS, {}), HELD_ADDRESS, {"--crc-ms", "100"}, c.mbit);
        change_report report;
        int result = -1;
        const auto start = std::chrono::steady_clock::now();
        printed_by([&] { result = program_changed_flash(report); });
        const double call_s = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        EXPECT_EQ(result, 1);
        EXPECT_LE(report.seconds_saved, c.whole_plan_s - 0.1);
        EXPECT_GE(report.seconds_saved, c.whole_plan_s - call_s - 0.001);
        close_port();
        stop_unit(unit);
    }
}

// Any doubt in a run of only the changed sectors (a checksum that lies, a step that fails) runs
// the whole plan in the same call, and the result is exact.
TEST_F(only_changed, doubt_runs_the_whole_plan_and_the_result_is_exact)
{
    uint32_t crc = 0xFFFFFFFFu;
    for (int s = 1; s < 16; s++)
        crc = jamcrc_update(crc, firmware_image + static_cast<size_t>(s) * SECTOR_SIZE, SECTOR_SIZE);
    char lie[40];
    snprintf(lie, sizeof lie, "reply:17:040E0801E0FC10%02X%02X%02X%02X:1", crc & 0xFF, crc >> 8 & 0xFF, crc >> 16 & 0xFF,
             crc >> 24);
    // Each failing step fails twice: the link sends a frame that has no answer once more.
    struct doubt_case {
        const char* name;
        std::vector<std::string> faults;
        const uint8_t* given;  // the address this run writes
        std::string shown;     // what the failed step said
    } table[] = {
        {"checksum reply that lies", {"--fault", lie}, HELD_ADDRESS, ""},
        {"a sector write that fails", {"--fault", "no-reply:14:2"}, HELD_ADDRESS, " Fail to write flash add 5\n"},
        {"a checksum reply cut short", {"--fault", "short-reply:17:9:1:3"}, HELD_ADDRESS, ""},
        {"an erase that fails", {"--fault", "no-reply:13:2:1"}, HELD_ADDRESS, " Fail on erase flash at sector 5\n"},
        {"the information sector's write that fails", {"--fault", "no-reply:15:2"}, OTHER_ADDRESS, " Fail to write BT info\n"},
    };
    for (const doubt_case& c : table) {
        SCOPED_TRACE(c.name);
        vunit* unit = unit_holding(flash_file(8, HELD_ADDRESS, {5}), c.given, c.faults);
        change_report report;
        int result = -1;
        std::string shown = printed_by([&] { result = program_changed_flash(report); });
        EXPECT_EQ(result, 1);
        EXPECT_EQ(error_code, 0);
        EXPECT_TRUE(report.whole_plan);
        EXPECT_EQ(report.written, 254);
        EXPECT_EQ(report.skipped, 0);
        EXPECT_NE(shown.find(c.shown + " Only the changed sectors did not succeed: the whole flash is written"),
                  std::string::npos)
            << shown;
        std::vector<erase_seen> erases = erased(unit);  // the whole plan's thirty erases come last
        ASSERT_GE(erases.size(), static_cast<size_t>(ERASE_STEPS));
        EXPECT_EQ(std::vector<erase_seen>(erases.end() - ERASE_STEPS, erases.end()), whole_plan_erases());
        expect_plan_in_flash(unit);
        close_port();
        stop_unit(unit);
    }
}

// A whole plan run after a doubt that fails too: the run fails with the step's error and
// counts only the sectors it knows it wrote.
TEST_F(only_changed, a_failing_whole_plan_claims_no_sectors_it_did_not_write)
{
    unit_holding(flash_file(8, HELD_ADDRESS, {5}), OTHER_ADDRESS, {"--fault", "no-reply:15:4"});
    change_report report;
    int result = -1;
    printed_by([&] { result = program_changed_flash(report); });
    EXPECT_EQ(result, 0);
    EXPECT_EQ(error_code, 16);
    EXPECT_TRUE(report.whole_plan);
    EXPECT_EQ(report.written, 1) << "sector 5, before the information sector failed";
    EXPECT_EQ(report.skipped, 0);
}

// The last block holds the image's last sectors, the information sector and the two sectors
// above it that the plan erases and never writes: with all of the first two differing, one
// 64 KB erase serves the whole block.
TEST_F(only_changed, the_last_block_with_the_information_sector_is_erased_whole)
{
    unit_holding(flash_file(8, HELD_ADDRESS, range(240, 252)), OTHER_ADDRESS);
    vunit* unit = units.back();
    change_report report;
    int result = -1;
    printed_by([&] { result = program_changed_flash(report); });
    EXPECT_EQ(result, 1);
    EXPECT_EQ(erased(unit), (std::vector<erase_seen>{{SECTOR, 0}, {BLOCK, 240}}));
    expect_plan_in_flash(unit);
    EXPECT_FALSE(report.whole_plan);
}

}  // namespace
