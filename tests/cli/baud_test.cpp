// A faster line and no writes of blank sectors in `pelmo4rix flash` and `pelmo4rix gang`: the
// real programs against the virtual unit, judged by the unit's frame log (each frame with the
// speed it came at) and its flash.
#include <algorithm>
#include <cstring>

#include "device/flash_layout.h"
#include "image/crc32.h"
#include "image/image.h"
#include "link/frames.h"
#include "link/state.h"
#include "support/gang_process.h"
#include "support/session.h"
#include "support/unit_fixture.h"

namespace {

constexpr int PLAN_SECTORS = 253;   // image sectors 0 to 252 on the 8 Mbit plan
constexpr int FIRST_BLANK = 200;    // the built-in image's sectors 200 to 252 are all 0xFF
constexpr int BLANK_SECTORS = PLAN_SECTORS - FIRST_BLANK;

class fast_flash : public unit_test {
protected:
    temp_dir cwd;

    run_result run(const std::vector<std::string>& args)
    {
        std::vector<std::string> argv = {program_path("pelmo4rix")};
        argv.insert(argv.end(), args.begin(), args.end());
        return run_program(argv, cwd.path, "", false, 60000, true);
    }
};

// The flash holds `image` in sectors 0 to 252 and the default address's information sector.
void expect_programmed(vunit* unit, const uint8_t* image = firmware_image)
{
    std::vector<uint8_t> flash = vunit_flash(unit);
    ASSERT_GE(flash.size(), static_cast<size_t>(IMAGE_SIZE));
    EXPECT_EQ(memcmp(flash.data(), image, PLAN_SECTORS * SECTOR_SIZE), 0);
    EXPECT_TRUE(holds_address(unit, "0604:03:000100"));
}

uint32_t le32_at(const vunit_frame& frame, size_t at)
{
    return frame.bytes[at] | frame.bytes[at + 1] << 8 | frame.bytes[at + 2] << 16 | static_cast<uint32_t>(frame.bytes[at + 3]) << 24;
}

// The rate in a speed change, bytes 5 to 8.
uint32_t asked_rate(const vunit_frame& frame)
{
    return le32_at(frame, 5);
}

// The rates the speed changes asked for, in order, a repeat of the same frame counted once.
std::vector<uint32_t> rates_asked(vunit* unit)
{
    std::vector<uint32_t> rates;
    for (const vunit_frame& f : vunit_frames(unit))
        if (f.kind == CMD_SET_BAUD_1M && (rates.empty() || rates.back() != asked_rate(f)))
            rates.push_back(asked_rate(f));
    return rates;
}

// The speeds the unit took flash frames (unlock, erase, write, checksum) in at.
std::vector<uint32_t> flash_frame_rates(vunit* unit)
{
    std::vector<uint32_t> rates;
    for (const vunit_frame& f : vunit_frames(unit)) {
        bool flash_frame = f.kind >= EN_FLASH_WR_1 && f.kind <= CMD_VERIFY_FLASH;
        if (flash_frame && std::find(rates.begin(), rates.end(), f.baud) == rates.end())
            rates.push_back(f.baud);
    }
    return rates;
}

// Image sectors from `first_sector` on that the unit was sent.
int image_writes(vunit* unit, int first_sector = 0)
{
    int n = 0;
    for (const vunit_frame& f : vunit_frames(unit))
        n += f.kind == CMD_WRITE_SECTOR && le32_at(f, 8) >= static_cast<uint32_t>(first_sector) * SECTOR_SIZE;
    return n;
}

std::vector<std::string> flash_args(std::vector<std::string> extra)
{
    std::vector<std::string> args = {"--json", "flash", "--address", "0604:03:000100"};
    args.insert(args.end(), extra.begin(), extra.end());
    return args;
}

struct rate_case {
    const char* name;
    std::vector<std::string> args;
    uint32_t rate;
    bool checked;  // a raised rate is proved by a probe exchange at it before the unlock
};

TEST_F(fast_flash, a_rate_the_loader_takes_carries_the_whole_plan)
{
    const rate_case cases[] = {
        {"default: the loader's 1,000,000 as the tools ask for it", {}, 1000000, false},
        {"2 Mbaud", {"--baud", "2000000"}, 2000000, true},
        {"3 Mbaud", {"--baud", "3000000"}, 3000000, true},
        {"a rate outside the termios table", {"--baud", "2345678"}, 2345678, true},
    };
    for (const rate_case& c : cases) {
        SCOPED_TRACE(c.name);
        vunit* unit = start_unit({"--max-baud", "3000000"});
        run_result r = run(flash_args(c.args));
        EXPECT_EQ(r.exit_code, 0) << r.errors;
        EXPECT_NE(r.output.find("\"baud\":" + std::to_string(c.rate) + ","), std::string::npos) << r.output;
        expect_programmed(unit);
        EXPECT_EQ(rates_asked(unit), std::vector<uint32_t>{c.rate});
        EXPECT_EQ(flash_frame_rates(unit), std::vector<uint32_t>{c.rate});
        // The kinds after the speed change: the proving probe only at a raised rate.
        std::vector<int> kinds = kinds_received(unit, c.rate);
        ASSERT_GE(kinds.size(), 2u);
        EXPECT_EQ(kinds[0], c.checked ? CMD_PROBE : EN_FLASH_WR_1);
        // Restarted at the rate the loader runs at: it runs its firmware again.
        EXPECT_EQ(kinds.back(), CMD_RESTART_2);
        EXPECT_FALSE(vunit_in_loader(unit));
        stop_unit(unit);
    }
}

struct fault_case {
    const char* name;
    std::vector<std::string> unit_options;
    std::vector<uint32_t> asked;
    uint32_t reached;
    const char* shown;  // what is said of the first rate that failed
};

const char RESTARTED[] = " No sure answer at 3000000 baud: the unit is restarted and asked for 2000000 baud\n";
const char REFUSED[] = " The loader refuses 3000000 baud: asked for 2000000 baud\n";

TEST_F(fast_flash, a_loader_that_does_not_keep_up_is_stepped_down_to_a_rate_that_works)
{
    const fault_case cases[] = {
        {"ignores the rate", {"--max-baud", "1500000", "--baud-fault", "ignore"}, {3000000, 2000000, 1500000}, 1500000,
         RESTARTED},
        {"refuses it: asked again without a restart", {"--max-baud", "1500000", "--baud-fault", "refuse"},
         {3000000, 2000000, 1500000}, 1500000, REFUSED},
        {"takes it and talks garbage", {"--max-baud", "2000000", "--baud-fault", "garble"}, {3000000, 2000000}, 2000000,
         RESTARTED},
        {"keeps to 1,000,000 only", {"--baud-fault", "ignore"}, {3000000, 2000000, 1500000, 1000000}, 1000000, RESTARTED},
        {"refuses all but 1,000,000", {"--baud-fault", "refuse"}, {3000000, 2000000, 1500000, 1000000}, 1000000, REFUSED},
    };
    for (const fault_case& c : cases) {
        SCOPED_TRACE(c.name);
        vunit* unit = start_unit(c.unit_options);
        run_result r = run(flash_args({"--baud", "3000000"}));
        EXPECT_EQ(r.exit_code, 0) << r.errors;
        EXPECT_NE(r.output.find("\"baud\":" + std::to_string(c.reached) + ","), std::string::npos) << r.output;
        EXPECT_NE(r.errors.find(c.shown), std::string::npos) << r.errors;
        // A loader that refused is not restarted: the probe and the handshake come once.
        EXPECT_EQ(frames_of(unit, CMD_HANDSHAKE, 1), c.shown == REFUSED ? 1 : static_cast<int>(c.asked.size()));
        expect_programmed(unit);
        EXPECT_EQ(rates_asked(unit), c.asked);
        EXPECT_EQ(flash_frame_rates(unit), std::vector<uint32_t>{c.reached});
        EXPECT_FALSE(vunit_in_loader(unit));
        stop_unit(unit);
    }
}

TEST_F(fast_flash, a_write_failure_at_a_raised_rate_steps_down_for_the_next_attempt)
{
    // The eleventh image sector goes unanswered, at both sends: the first attempt fails (15).
    vunit* unit = start_unit({"--max-baud", "3000000", "--fault", "no-reply:14:2:10"});
    run_result r = run(flash_args({"--baud", "3000000", "--attempts", "2"}));
    EXPECT_EQ(r.exit_code, 0) << r.errors;
    EXPECT_NE(r.output.find("\"attempts\":2,\"baud\":2000000,"), std::string::npos) << r.output;
    expect_programmed(unit);
    EXPECT_EQ(rates_asked(unit), (std::vector<uint32_t>{3000000, 2000000}));
    EXPECT_EQ(flash_frame_rates(unit), (std::vector<uint32_t>{3000000, 2000000}));
    // The loader left at 3 Mbaud was restarted there before the second attempt.
    std::vector<int> at_3m = kinds_received(unit, 3000000);
    EXPECT_NE(std::find(at_3m.begin(), at_3m.end(), CMD_RESTART_2), at_3m.end());
}

// The bytes of the last checksum frame the unit took in.
std::vector<uint8_t> last_checksum(vunit* unit)
{
    std::vector<uint8_t> last;
    for (const vunit_frame& f : vunit_frames(unit))
        if (f.kind == CMD_VERIFY_FLASH)
            last = f.bytes;
    return last;
}

struct blank_case {
    const char* name;
    std::vector<std::string> args;
    int writes_in_blank_range;
};

TEST_F(fast_flash, blank_sectors_are_not_sent_after_the_erase_and_the_checksum_still_decides)
{
    const blank_case cases[] = {
        {"blank sectors left to the erase", {}, 0},
        {"--write-blank sends them", {"--write-blank"}, BLANK_SECTORS},
        {"--only-changed falling back to the whole plan", {"--only-changed"}, 0},
    };
    for (const blank_case& c : cases) {
        SCOPED_TRACE(c.name);
        // Old bytes everywhere: only the erase makes the blank sectors blank.
        temp_dir dir;
        write_file(dir / "old.bin", std::string(IMAGE_SIZE, '\x5A'));
        std::vector<std::string> unit_options = {"--flash-in", dir / "old.bin"};
        if (c.args == std::vector<std::string>{"--only-changed"})
            unit_options.insert(unit_options.end(), {"--fault", "no-reply:13:2"});  // its first erase fails
        vunit* unit = start_unit(unit_options);
        run_result r = run(flash_args(c.args));
        EXPECT_EQ(r.exit_code, 0) << r.errors;
        expect_programmed(unit);
        EXPECT_EQ(image_writes(unit, FIRST_BLANK), c.writes_in_blank_range);
        EXPECT_EQ(image_writes(unit), FIRST_BLANK + c.writes_in_blank_range);
        EXPECT_EQ(hex(last_checksum(unit)), "01 E0 FC 09 10 00 00 00 00 FF CF 07 00");  // 0 to 0x7CFFF, as ever
        stop_unit(unit);
    }
}

TEST_F(fast_flash, a_blank_sector_that_the_erase_left_fails_with_20)
{
    // An image with a blank sector inside the checksummed range, and a worn unit whose erase
    // leaves its old bytes there.
    std::vector<uint8_t> image(firmware_image, firmware_image + IMAGE_SIZE);
    std::fill(image.begin() + 5 * SECTOR_SIZE, image.begin() + 6 * SECTOR_SIZE, 0xFF);
    write_file(cwd / "blank5.bin", std::string(image.begin(), image.end()));
    temp_dir dir;
    write_file(dir / "old.bin", std::string(IMAGE_SIZE, '\x5A'));
    for (const char* write_blank : {"", "--write-blank"}) {
        SCOPED_TRACE(write_blank);
        vunit* unit = start_unit({"--flash-in", dir / "old.bin", "--fault", "unerased:5"});
        std::vector<std::string> extra = {"--image", "blank5.bin", "--allow-unsigned"};
        if (*write_blank)
            extra.push_back(write_blank);
        run_result r = run(flash_args(extra));
        EXPECT_EQ(r.exit_code, 20) << r.errors;
        EXPECT_NE(r.errors.find("!!!!! CRC error !!!!!"), std::string::npos) << r.errors;
        stop_unit(unit);
    }
}

TEST_F(fast_flash, a_bad_rate_is_a_usage_error_before_anything_is_sent)
{
    const char* const rates[] = {"999999", "12000001", "3M", "", "-2000000", "99999999999"};
    for (const char* rate : rates) {
        SCOPED_TRACE(rate);
        vunit* unit = start_unit();
        run_result r = run(flash_args({"--baud", rate}));
        EXPECT_EQ(r.exit_code, 2) << r.errors;
        EXPECT_NE(r.errors.find("bad rate for --baud"), std::string::npos) << r.errors;
        {
            scoped_env env_rate("PELMO4RIX_BAUD", rate);
            run_result from_env = run(flash_args({}));
            EXPECT_EQ(from_env.exit_code, *rate ? 2 : 0) << from_env.errors;  // an empty variable is no rate
            if (*rate) {
                EXPECT_NE(from_env.errors.find("PELMO4RIX_BAUD"), std::string::npos) << from_env.errors;
                EXPECT_TRUE(vunit_frames(unit).empty());
            }
        }
        stop_unit(unit);
    }
}

TEST_F(fast_flash, the_rate_from_the_environment_and_the_option_over_it)
{
    vunit* unit = start_unit({"--max-baud", "3000000"});
    scoped_env env_rate("PELMO4RIX_BAUD", "3000000");
    run_result r = run(flash_args({}));
    EXPECT_EQ(r.exit_code, 0) << r.errors;
    EXPECT_NE(r.output.find("\"baud\":3000000,"), std::string::npos) << r.output;
    run_result given = run(flash_args({"--baud", "2000000"}));
    EXPECT_EQ(given.exit_code, 0) << given.errors;
    EXPECT_EQ(rates_asked(unit), (std::vector<uint32_t>{3000000, 2000000}));
}

TEST_F(fast_flash, a_gang_port_asks_its_next_units_for_the_rate_that_worked)
{
    const std::vector<std::string> slow = {"--max-baud", "2000000", "--baud-fault", "ignore"};
    vunit* first = start_unit(slow, "COM7");
    gang_process gang;
    gang.start({"--ports", "COM7", "--units", "2", "--baud", "3000000"}, cwd.path);
    ASSERT_TRUE(gang.wait_for("COM7 0604:03:000100 good, attempts 1, at 2000000 baud")) << gang.output;
    // First the gang's own read of the unit, at the loader's 1,000,000; then its worker's.
    EXPECT_EQ(rates_asked(first), (std::vector<uint32_t>{1000000, 3000000, 2000000}));
    vunit_unplug(first);
    ASSERT_TRUE(gang.wait_for("COM7 unit gone", 10000)) << gang.output;
    stop_unit(first);

    vunit* second = start_unit(slow, "COM7");
    ASSERT_EQ(gang.finish(), 0) << gang.output;
    EXPECT_NE(gang.output.find("COM7 0604:03:000101 good, attempts 1, at 2000000 baud"), std::string::npos)
        << gang.output;
    EXPECT_EQ(rates_asked(second), (std::vector<uint32_t>{1000000, 2000000}));  // the step down is not paid again
    // The record has the baud column, last.
    const std::string record = read_file(cwd / "production.csv");
    EXPECT_EQ(record.rfind("time,port,address,image_version,image_checksum,result,error_code,attempts,seconds,baud\n", 0),
              0u)
        << record;
    size_t lines = 0;
    for (size_t at = record.find('\n'); (at = record.find(",2000000\n", at)) != std::string::npos; at++)
        lines++;
    EXPECT_EQ(lines, 2u) << record;
}

}  // namespace
