#include "image/image.h"

#include <cstdio>
#include <vector>

#include "image/crc32.h"

// The image file goes into the program's data as it stands; the build has checked it already.
__asm__(".section .rodata\n"
        ".balign 16\n"
        ".globl pelmo4rix_image_bytes\n"
        "pelmo4rix_image_bytes:\n"
        ".incbin \"" PELMO4RIX_IMAGE_FILE "\"\n"
        ".text\n");

extern "C" const uint8_t pelmo4rix_image_bytes[];

namespace {

const uint8_t builtin_crc[4] = {IMAGE_CRC & 0xFF, (IMAGE_CRC >> 8) & 0xFF, (IMAGE_CRC >> 16) & 0xFF, IMAGE_CRC >> 24};

std::vector<uint8_t> file_image;  // a loaded image file, while it is the image in use
uint8_t file_crc[4];

// Reads the whole file, keeping at most `keep` bytes; the file's size, or -1.
long long read_file_head(const char* path, std::vector<uint8_t>& bytes, size_t keep)
{
    FILE* in = fopen(path, "rb");
    if (!in)
        return -1;
    bytes.assign(keep, 0);
    long long size = static_cast<long long>(fread(bytes.data(), 1, keep, in));
    char rest[4096];
    size_t n;
    while ((n = fread(rest, 1, sizeof rest, in)) > 0)
        size += static_cast<long long>(n);
    bool failed = ferror(in) != 0;
    fclose(in);
    return failed ? -1 : size;
}

}  // namespace

const uint8_t* firmware_image = pelmo4rix_image_bytes;
const uint8_t* expected_crc = builtin_crc;
const char* image_version = "6.05";
const char tool_version[5] = PELMO4RIX_VERSION;  // the project's version, from the build

int load_image_file(const char* path, long long& size)
{
    std::vector<uint8_t> bytes;
    size = read_file_head(path, bytes, IMAGE_SIZE);
    if (size != IMAGE_SIZE)
        return 0;
    uint32_t crc = jamcrc(bytes.data(), CHECKSUM_END);
    for (int i = 0; i < 4; i++)
        file_crc[i] = static_cast<uint8_t>(crc >> (8 * i));
    file_image.swap(bytes);
    firmware_image = file_image.data();
    expected_crc = file_crc;
    return 1;
}

void use_builtin_image()
{
    firmware_image = pelmo4rix_image_bytes;
    expected_crc = builtin_crc;
    file_image.clear();
}
