#include "support/unit_fixture.h"

#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "device/flash_layout.h"
#include "device/device.h"
#include "image/image.h"
#include "link/frames.h"
#include "link/pause.h"
#include "link/port.h"
#include "link/state.h"

void unit_test::SetUp()
{
    reset_state();
    pauses = pause_log{};
    pauses.sleep = false;
}

void unit_test::TearDown()
{
    reset_state();
    for (vunit* unit : units)
        vunit_stop(unit);
    units.clear();
    pauses = pause_log{};
}

vunit* unit_test::start_unit(const std::vector<std::string>& options, const std::string& name, bool listed)
{
    std::vector<std::string> args = {"pelmo4rix-vunit", "--device-dir", dev.path, "--name", name};
    if (listed)
        args.push_back("--list");
    args.insert(args.end(), options.begin(), options.end());
    std::vector<char*> argv;
    for (std::string& a : args)
        argv.push_back(a.data());
    vunit_config config;
    std::string error;
    if (!vunit_parse_args(static_cast<int>(argv.size()), argv.data(), config, error)) {
        ADD_FAILURE() << error;
        return nullptr;
    }
    vunit* unit = vunit_start(config, error);
    if (!unit) {
        ADD_FAILURE() << error;
        return nullptr;
    }
    units.push_back(unit);
    return unit;
}

void unit_test::stop_unit(vunit* unit)
{
    for (auto it = units.begin(); it != units.end(); ++it)
        if (*it == unit) {
            units.erase(it);
            break;
        }
    vunit_stop(unit);
}

bool unit_test::open_unit_port(const std::string& name)
{
    return open_port(name.c_str()) && configure_port(BAUD_DEFAULT) && set_port_mask();
}

vunit* unit_test::loader_unit(const std::vector<std::string>& options)
{
    vunit* unit = start_unit(options);
    EXPECT_TRUE(open_unit_port());
    EXPECT_EQ(enter_boot_mode(), 1);
    error_code = 0;
    return unit;
}

std::vector<int> unit_test::kinds_received(vunit* unit, uint32_t baud)
{
    std::vector<int> kinds;
    for (const vunit_frame& frame : vunit_frames(unit))
        if (baud == 0 || frame.baud == baud)
            kinds.push_back(frame.kind);
    return kinds;
}

int unit_test::frames_of(vunit* unit, int kind, int expected)
{
    int count = 0;
    for (int i = 0; i < 100; i++, usleep(10000)) {
        std::vector<int> kinds = kinds_received(unit);
        count = static_cast<int>(std::count(kinds.begin(), kinds.end(), kind));
        if (count >= expected)
            break;
    }
    return count;
}

bool holds_address(vunit* unit, const std::string& address)
{
    unsigned nap, uap, lap;
    EXPECT_EQ(sscanf(address.c_str(), "%4x:%2x:%6x", &nap, &uap, &lap), 3) << address;
    const uint8_t bytes[6] = {uint8_t(lap), uint8_t(lap >> 8), uint8_t(lap >> 16), uint8_t(uap), uint8_t(nap),
                              uint8_t(nap >> 8)};
    memcpy(bt_address, bytes, sizeof bytes);
    std::vector<uint8_t> sector(SECTOR_SIZE), flash = vunit_flash(unit);
    build_info_sector(sector.data());
    return std::equal(sector.begin(), sector.end(), flash.begin() + INFO_SECTOR_ADDRESS);
}

testing::AssertionResult holds_image(vunit* unit, const uint8_t* image)
{
    if (!image)
        image = firmware_image;
    std::vector<uint8_t> flash = vunit_flash(unit);
    if (flash.size() < static_cast<size_t>(INFO_SECTOR_ADDRESS))
        return testing::AssertionFailure() << "a flash of " << flash.size() << " bytes";
    auto differs = std::mismatch(flash.begin(), flash.begin() + INFO_SECTOR_ADDRESS, image);
    if (differs.first == flash.begin() + INFO_SECTOR_ADDRESS)
        return testing::AssertionSuccess();
    return testing::AssertionFailure() << "the flash differs from the image at 0x" << std::hex
                                       << (differs.first - flash.begin());
}

int frames_of_kind(vunit* unit, int kind)
{
    std::vector<vunit_frame> frames = vunit_frames(unit);
    return static_cast<int>(std::count_if(frames.begin(), frames.end(), [kind](const vunit_frame& f) { return f.kind == kind; }));
}

bool took_more_frames(vunit* unit, int kind, int seen, int more, int ms)
{
    for (int waited = 0; frames_of_kind(unit, kind) < seen + more; waited += 10) {
        if (waited >= ms)
            return false;
        usleep(10000);
    }
    return true;
}
