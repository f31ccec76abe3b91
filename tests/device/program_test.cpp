// Boot mode entry and flash programming against the virtual unit, checked on the unit's side.
#include <algorithm>
#include <cstring>

#include "device/device.h"
#include "device/flash_layout.h"
#include "image/image.h"
#include "link/exchange.h"
#include "link/port.h"
#include "link/state.h"
#include "support/unit_fixture.h"

namespace {

using programming = unit_test;

TEST_F(programming, smoke_full_run)
{
    vunit* unit = start_unit();
    ASSERT_TRUE(open_unit_port());
    ASSERT_EQ(enter_boot_mode(), 1);
    std::string out = printed_by([] { EXPECT_EQ(program_flash(), 1); });
    EXPECT_EQ(out, " Erase flash " + std::string(30, '.') + " Done\n 8Mb flash Write " + std::string(63, '.') +
                       " Done\n Verify flash ... Done\n");
    std::vector<uint8_t> flash = vunit_flash(unit);
    EXPECT_EQ(memcmp(flash.data(), firmware_image, 253 * 4096), 0);
}

}  // namespace
