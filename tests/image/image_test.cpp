// The image carried by the programs and the information sector built from an address.
#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <vector>

#include "device/flash_layout.h"
#include "image/image.h"
#include "link/state.h"

namespace {

// The standard CRC-32, bit by bit: an independent check on the table-driven checksum.
uint32_t standard_crc32(const uint8_t* data, size_t n)
{
    uint32_t crc = 0xFFFFFFFF;
    for (size_t i = 0; i < n; i++) {
        crc ^= data[i];
        for (int k = 0; k < 8; k++)
            crc = (crc >> 1) ^ (0xEDB88320 & (0u - (crc & 1)));
    }
    return ~crc;
}

TEST(image, carried_image_is_the_image_file_and_checksums_as_expected)
{
    std::ifstream file(PELMO4RIX_SOURCE_DIR "/image/firmware.bin", std::ios::binary);
    std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    ASSERT_EQ(bytes.size(), 1040384u);
    EXPECT_EQ(memcmp(bytes.data(), firmware_image, bytes.size()), 0);

    uint32_t standard = standard_crc32(firmware_image, 0x7D000);
    EXPECT_EQ(~standard, 0x3922BA1Cu);  // the unit's checksum is the complement of the standard one
    const uint8_t expected[4] = {0x1C, 0xBA, 0x22, 0x39};
    EXPECT_EQ(memcmp(expected_crc, expected, 4), 0);
    EXPECT_STREQ(image_version, "6.05");
    EXPECT_STREQ(tool_version, "1.03");
}

TEST(image, sector_253_holds_the_prepared_information_sector)
{
    const uint8_t* sector = firmware_image + 253 * 4096;
    const uint8_t head[] = {0x00, 0x01, 0x00, 0x03, 0x04, 0x06, 'P', 'e', 'l', 'm', 'o', '4', 'R', 'i', 'x'};
    EXPECT_EQ(memcmp(sector, head, sizeof head), 0);
    for (int i = 15; i < 38; i++)
        EXPECT_EQ(sector[i], 0) << i;
    const uint8_t one[] = {0x01, 0x00, 0x00, 0x00};
    EXPECT_EQ(memcmp(sector + 38, one, 4), 0);
}

TEST(image, information_sector_from_the_address)
{
    const struct {
        uint8_t address[6];
        const char* name;
    } table[] = {
        {{0x00, 0x01, 0x00, 0x03, 0x04, 0x06}, "Pelmo4Rix(100)"},  // the default address
        {{0xDE, 0xBC, 0x0A, 0x03, 0x04, 0x06}, "Pelmo4Rix(CDE)"},  // LAP 0ABCDE: its high byte is left out
    };
    for (const auto& c : table) {
        SCOPED_TRACE(c.name);
        reset_state();
        memcpy(bt_address, c.address, 6);
        uint8_t sector[4096];
        build_info_sector(sector);
        EXPECT_EQ(memcmp(sector, c.address, 6), 0);
        EXPECT_EQ(std::string(reinterpret_cast<char*>(sector) + 6, 14), c.name);
        for (int i = 20; i < 38; i++)
            EXPECT_EQ(sector[i], 0x00) << i;
        for (int i = 38; i < 4096; i++)
            ASSERT_EQ(sector[i], 0xFF) << i;
    }
    reset_state();
}

TEST(image, hex_digit)
{
    const struct {
        int value;
        char digit;
    } table[] = {{0, '0'}, {9, '9'}, {10, 'A'}, {15, 'F'}, {16, '0'}, {-1, '0'}};
    for (const auto& c : table)
        EXPECT_EQ(hex_digit(c.value), c.digit) << c.value;
}

}  // namespace
