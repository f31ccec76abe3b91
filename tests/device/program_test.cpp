// Boot mode entry and flash programming against the virtual unit, checked on the unit's side:
// the frames it received, at which speed, and what its flash holds afterwards.
#include <algorithm>
#include <cstring>

#include "device/device.h"
#include "device/flash_layout.h"
#include "image/image.h"
#include "link/exchange.h"
#include "link/pause.h"
#include "link/port.h"
#include "link/state.h"
#include "support/unit_fixture.h"

namespace {

using boot_mode = unit_test;

std::vector<std::string> fault_options(const std::vector<std::string>& faults)
{
    std::vector<std::string> options;
    for (const std::string& fault : faults)
        options.insert(options.end(), {"--fault", fault});
    return options;
}

std::vector<int> repeated(int kind, int times)
{
    return std::vector<int>(static_cast<size_t>(times), kind);
}

std::vector<int> joined(std::initializer_list<std::vector<int>> parts)
{
    std::vector<int> all;
    for (const std::vector<int>& part : parts)
        all.insert(all.end(), part.begin(), part.end());
    return all;
}

struct boot_case {
    const char* name;
    std::vector<std::string> faults;
    int result;
    int error;
    std::string output;
    std::vector<int> kinds;  // what the unit took in at 115200, in order
    bool answers_probe = true;
};

// The restart pair sent at 1,000,000 baud reaches a unit at 115200 as garbage; only the pair
// sent at 115200 makes frames.
const std::vector<int> RESTART_AT_DEFAULT = {CMD_RESTART_1, CMD_RESTART_2};
const std::vector<int> HANDSHAKE_RECOVERY =
    joined({repeated(CMD_HANDSHAKE, BURST_LONG), {CMD_BOOT_PATTERN}, repeated(CMD_HANDSHAKE, BURST_SHORT)});

TEST_F(boot_mode, steps_recoveries_and_failures)
{
    const boot_case table[] = {
        {"unit answers at once", {}, 1, 0, "", {CMD_PROBE, CMD_HANDSHAKE, CMD_SET_BAUD_1M}},
        {"probe silent once: restart and ask again",
         {"no-reply:1:2"}, 1, 6, "",
         joined({{CMD_PROBE, CMD_PROBE}, RESTART_AT_DEFAULT, {CMD_PROBE, CMD_HANDSHAKE, CMD_SET_BAUD_1M}})},
        {"probe silent twice", {"no-reply:1"}, 0, 7, " Fail to enter boot mode\n",
         joined({{CMD_PROBE, CMD_PROBE}, RESTART_AT_DEFAULT, {CMD_PROBE, CMD_PROBE}}), false},
        {"handshake answered only after the bursts and the boot pattern",
         {"no-reply:2:114"}, 1, 6, "",
         joined({{CMD_PROBE, CMD_HANDSHAKE, CMD_HANDSHAKE}, HANDSHAKE_RECOVERY, {CMD_HANDSHAKE, CMD_SET_BAUD_1M}})},
        {"handshake silent twice", {"no-reply:2"}, 0, 8, "",
         joined({{CMD_PROBE, CMD_HANDSHAKE, CMD_HANDSHAKE}, HANDSHAKE_RECOVERY, {CMD_HANDSHAKE, CMD_HANDSHAKE}})},
        {"speed change refused", {"no-reply:7"}, 0, 9, "",
         {CMD_PROBE, CMD_HANDSHAKE, CMD_SET_BAUD_1M, CMD_SET_BAUD_1M}},
    };
    for (const boot_case& c : table) {
        SCOPED_TRACE(c.name);
        vunit* unit = start_unit(fault_options(c.faults));
        ASSERT_TRUE(open_unit_port());
        error_code = 0;
        pauses = pause_log{};
        pauses.sleep = false;
        int result = -1;
        EXPECT_EQ(printed_by([&] { result = enter_boot_mode(); }), c.output);
        EXPECT_EQ(result, c.result);
        EXPECT_EQ(error_code, c.error);
        frames_of(unit, c.kinds.back(), static_cast<int>(std::count(c.kinds.begin(), c.kinds.end(), c.kinds.back())));
        std::vector<int> kinds = kinds_received(unit, BAUD_DEFAULT);
        kinds.erase(std::remove(kinds.begin(), kinds.end(), 0), kinds.end());
        EXPECT_EQ(kinds, c.kinds);
        const bool recovered_handshake = std::count(c.kinds.begin(), c.kinds.end(), CMD_BOOT_PATTERN) == 1;
        EXPECT_EQ(pauses.count, recovered_handshake ? BURST_LONG + BURST_SHORT : 0);
        // The port follows the unit only after an accepted speed change.
        const uint32_t speed = c.result ? BAUD_LOADER : BAUD_DEFAULT;
        EXPECT_EQ(vunit_baud(unit), speed);
        if (c.answers_probe) {
            EXPECT_EQ(run_command(CMD_PROBE), 1) << "the port is at the unit's speed";
            EXPECT_EQ(vunit_frames(unit).back().baud, speed);
        }
        close_port();
        stop_unit(unit);
    }
}

class programming : public unit_test {
protected:
    const char* saved_version = image_version;
    void TearDown() override
    {
        image_version = saved_version;
        flash_progress = print_progress_dots;
        unit_test::TearDown();
    }

};

std::string erase_dots() { return " Erase flash " + std::string(ERASE_STEPS, '.') + " Done\n"; }
std::string write_dots(int dots) { return " 8Mb flash Write " + std::string(static_cast<size_t>(dots), '.'); }

const std::string FULL_8MBIT_OUTPUT =
    erase_dots() + write_dots(63) + " Done\n Verify flash ... Done\n";

std::vector<uint8_t> info_sector_now()
{
    std::vector<uint8_t> sector(SECTOR_SIZE);
    build_info_sector(sector.data());
    return sector;
}

bool flash_holds(const std::vector<uint8_t>& flash, uint32_t at, const uint8_t* bytes, size_t n)
{
    return flash.size() >= at + n && memcmp(flash.data() + at, bytes, n) == 0;
}

struct plan_case {
    const char* name;
    const char* version;  // image_version
    int mbit;
    std::string output;
    int image_sectors;          // written from the image, sector 0 included
    uint32_t info_at;           // where the information sector lands on this part
};

TEST_F(programming, whole_run_on_both_plans)
{
    const plan_case table[] = {
        {"8 Mbit", "6.05", 8, FULL_8MBIT_OUTPUT, 253, 0xFD000},
        {"4 Mbit: the information sector wraps to 0x7D000", "2.05", 4,
         erase_dots() + " 4Mb flash Write " + std::string(31, '.') + " Done\n Verify flash ... Done\n", 125, 0x7D000},
    };
    for (const plan_case& c : table) {
        SCOPED_TRACE(c.name);
        image_version = c.version;
        const uint8_t address[6] = {0xDE, 0xBC, 0x0A, 0x21, 0x04, 0x06};
        memcpy(bt_address, address, sizeof address);
        vunit* unit = loader_unit({"--flash-mbit", std::to_string(c.mbit)});
        size_t frames_before = vunit_frames(unit).size();
        int result = -1;
        EXPECT_EQ(printed_by([&] { result = program_flash(); }), c.output);
        EXPECT_EQ(result, 1);
        EXPECT_EQ(error_code, 0);

        // The unit saw the unlock, thirty erases in plan order, the sectors, the information
        // sector, sector 0 and the checksum, every one at 1,000,000 baud.
        std::vector<vunit_frame> frames = vunit_frames(unit);
        frames.erase(frames.begin(), frames.begin() + static_cast<long>(frames_before));
        std::vector<int> expected_kinds = joined({{EN_FLASH_WR_1, EN_FLASH_WR_2, EN_FLASH_WR_1},
                                                  repeated(CMD_ERASE_FLASH, ERASE_STEPS),
                                                  repeated(CMD_WRITE_SECTOR, c.image_sectors - 1),
                                                  {CMD_WRITE_BT_INFO, CMD_WRITE_SECTOR, CMD_VERIFY_FLASH}});
        ASSERT_EQ(frames.size(), expected_kinds.size());
        for (size_t i = 0; i < frames.size(); i++) {
            SCOPED_TRACE(i);
            EXPECT_EQ(frames[i].kind, expected_kinds[i]);
            EXPECT_EQ(frames[i].baud, BAUD_LOADER);
        }
        for (int step = 0; step < ERASE_STEPS; step++) {
            const std::vector<uint8_t>& erase = frames[3 + static_cast<size_t>(step)].bytes;
            uint32_t at = erase[9] | erase[10] << 8 | erase[11] << 16;
            EXPECT_EQ(erase[8], step < 16 ? 0xD8 : 0x20);
            EXPECT_EQ(at, step < 16 ? static_cast<uint32_t>(step) << 16 : 0xF0000 + static_cast<uint32_t>(step - 16) * 0x1000);
        }
        for (int s = 1; s < c.image_sectors; s++) {
            const std::vector<uint8_t>& write = frames[33 + static_cast<size_t>(s) - 1].bytes;
            EXPECT_EQ(write[8] | write[9] << 8 | write[10] << 16, s << 12);
        }

        std::vector<uint8_t> flash = vunit_flash(unit);
        EXPECT_TRUE(flash_holds(flash, 0, firmware_image, static_cast<size_t>(c.image_sectors) * SECTOR_SIZE));
        EXPECT_TRUE(flash_holds(flash, c.info_at, info_sector_now().data(), SECTOR_SIZE));
        EXPECT_TRUE(std::all_of(flash.begin() + c.info_at + SECTOR_SIZE, flash.end(), [](uint8_t b) { return b == 0xFF; }))
            << "nothing is written past the information sector";
        close_port();
        stop_unit(unit);
    }
}

struct failure_case {
    const char* name;
    std::vector<std::string> faults;
    int error;
    std::string output;
};

TEST_F(programming, each_failing_step_stops_with_its_code_and_message)
{
    const std::string written = erase_dots() + write_dots(63);
    const failure_case table[] = {
        {"first unlock", {"no-reply:11"}, 11, " Fail on EN_FLASH_WR_1\n"},
        {"status write", {"no-reply:12"}, 12, " Fail on EN_FLASH_WR_2\n"},
        {"second unlock", {"no-reply:11:2:1"}, 13, " Fail on EN_FLASH_WR_1\n"},
        {"first erase", {"no-reply:13"}, 14, " Erase flash .\n Fail on erase flash. try cnt = 0\n"},
        {"sixth erase", {"no-reply:13:2:5"}, 14, " Erase flash ......\n Fail on erase flash. try cnt = 5\n"},
        {"sector 16, shown in hex", {"no-reply:14:2:15"}, 15, erase_dots() + write_dots(4) + "\n Fail to write flash add 10\n"},
        {"information sector", {"no-reply:15"}, 16, written + " Fail to write BT info\n"},
        {"sector 0, written last", {"no-reply:14:2:252"}, 18, written + "\n Fail to write flash add 0\n"},
        {"checksum command", {"no-reply:17"}, 19, written + " Done\n Verify flash ... Fail to verify flash\n"},
        {"checksum differs", {"bad-crc"}, 20,
         FULL_8MBIT_OUTPUT + "\t !!!!! CRC error !!!!! \n\t Exp:1C BA 22 39 \n\t Get:1D BA 22 39 \n"},
        {"checksum reply cut before its last two bytes", {"short-reply:17:9"}, 20,
         FULL_8MBIT_OUTPUT + "\t !!!!! CRC error !!!!! \n\t Exp:1C BA 22 39 \n\t Get:1C BA -- -- \n"},
    };
    for (const failure_case& c : table) {
        SCOPED_TRACE(c.name);
        loader_unit(fault_options(c.faults));
        int result = -1;
        EXPECT_EQ(printed_by([&] { result = program_flash(); }), c.output);
        EXPECT_EQ(result, 0);
        EXPECT_EQ(error_code, c.error);
        close_port();
        stop_unit(units.back());
    }
}

// A reporting function of its own sees every phase begin, each step, and each end.
std::vector<std::string> reported;
void record_progress(flash_phase phase, int step, int total)
{
    const char* names[] = {"erase", "write", "verify"};
    reported.push_back(std::string(names[phase]) + " " + std::to_string(step) + "/" + std::to_string(total));
}

TEST_F(programming, progress_goes_through_the_replaceable_function)
{
    loader_unit();
    reported.clear();
    flash_progress = record_progress;
    EXPECT_EQ(printed_by([] { EXPECT_EQ(program_flash(), 1); }), "");
    ASSERT_EQ(reported.size(), 2 + 30u + 2 + 254u + 3u);
    EXPECT_EQ(reported[0], "erase -1/30");
    EXPECT_EQ(reported[1], "erase 0/30");
    EXPECT_EQ(reported[31], "erase 30/30");
    EXPECT_EQ(reported[32], "write -1/254");
    EXPECT_EQ(reported[33], "write 0/254");
    EXPECT_EQ(reported[286], "write 253/254");
    EXPECT_EQ(reported[287], "write 254/254");
    EXPECT_EQ(reported.back(), "verify 1/1");
}

}  // namespace
