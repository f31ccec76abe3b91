// Makes the stand-in firmware image, image/firmware.bin: 254 sectors of 4096 bytes.
// Sectors 0 to 252 hold deterministic filler shaped like code and data, sector 253 the
// prepared information sector, and four bytes at the end of the checksummed range are chosen
// so that the image's checksum is IMAGE_CRC.
//   usage: make_image OUTPUT
#include <cstdio>
#include <cstring>
#include <vector>

#include "image/crc32.h"
#include "image/image.h"

namespace {

constexpr int FILLED_SECTORS = 200;  // the rest of the code area stays erased (0xFF), as in a real build

void fill_sectors(std::vector<uint8_t>& image)
{
    uint32_t state = 0x2545F491u;
    for (long i = 0; i < static_cast<long>(FILLED_SECTORS) * SECTOR_SIZE; i++) {
        state ^= state << 13;  // xorshift32
        state ^= state >> 17;
        state ^= state << 5;
        image[i] = static_cast<uint8_t>(state >> 24);
    }
}

// The information sector prepared in the image: the default address, the name, zeros, and the
// value 1 at bytes 38 to 41. The tools never send it.
void fill_info_sector(std::vector<uint8_t>& image)
{
    static const uint8_t address[6] = {0x00, 0x01, 0x00, 0x03, 0x04, 0x06};
    uint8_t* sector = &image[253L * SECTOR_SIZE];
    memset(sector, 0x00, 38);
    memcpy(sector, address, 6);
    memcpy(sector + 6, "Pelmo4Rix", 9);
    sector[38] = 1;
    sector[39] = sector[40] = sector[41] = 0;
}

// Index of the table entry whose top byte is `top` (the top bytes are all different).
int entry_with_top(uint8_t top)
{
    for (int j = 0; j < 256; j++)
        if ((CRC32_TABLE.entry[j] >> 24) == top)
            return j;
    return -1;
}

// The four bytes that take the CRC register from `before` to `target`: run the register
// backwards from the target four steps, then the bytes are what separates the two.
uint32_t forge_bytes(uint32_t before, uint32_t target)
{
    uint32_t crc = target;
    for (int i = 0; i < 4; i++) {
        int j = entry_with_top(static_cast<uint8_t>(crc >> 24));
        crc = ((crc ^ CRC32_TABLE.entry[j]) << 8) | static_cast<uint32_t>(j);
    }
    return crc ^ before;
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc != 2) {
        fprintf(stderr, "usage: make_image OUTPUT\n");
        return 2;
    }
    std::vector<uint8_t> image(IMAGE_SIZE, 0xFF);
    fill_sectors(image);
    fill_info_sector(image);

    const long patch = CHECKSUM_END - 4;
    uint32_t before = jamcrc(image.data(), patch);
    uint32_t bytes = forge_bytes(before, IMAGE_CRC);
    for (int i = 0; i < 4; i++)
        image[patch + i] = static_cast<uint8_t>(bytes >> (8 * i));
    if (jamcrc(image.data(), CHECKSUM_END) != IMAGE_CRC) {
        fprintf(stderr, "make_image: checksum did not come out right\n");
        return 1;
    }

    FILE* out = fopen(argv[1], "wb");
    if (!out || fwrite(image.data(), 1, image.size(), out) != image.size() || fclose(out) != 0) {
        fprintf(stderr, "make_image: can't write %s\n", argv[1]);
        return 1;
    }
    return 0;
}
