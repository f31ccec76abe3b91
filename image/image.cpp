#include "image/image.h"

#include <cstdlib>
#include <utility>

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

const char BUILTIN_VERSION[] = "6.05";
const uint8_t builtin_crc[4] = {IMAGE_CRC & 0xFF, (IMAGE_CRC >> 8) & 0xFF, (IMAGE_CRC >> 16) & 0xFF, IMAGE_CRC >> 24};

std::vector<uint8_t> file_image;  // a loaded image file, while it is the image in use
uint8_t file_crc[4];
std::string file_version, file_record_version;

}  // namespace

const uint8_t* firmware_image = pelmo4rix_image_bytes;
const uint8_t* expected_crc = builtin_crc;
const char* image_version = BUILTIN_VERSION;
const char* image_record_version = BUILTIN_VERSION;
const char tool_version[5] = PELMO4RIX_VERSION;  // the project's version, from the build
std::string image_downgraded_from;

void use_image(std::vector<uint8_t>&& bytes, const std::string& version, const std::string& record_version)
{
    uint32_t crc = jamcrc(bytes.data(), CHECKSUM_END);
    for (int i = 0; i < 4; i++)
        file_crc[i] = static_cast<uint8_t>(crc >> (8 * i));
    file_image = std::move(bytes);
    file_version = version;
    file_record_version = record_version;
    firmware_image = file_image.data();
    expected_crc = file_crc;
    image_version = file_version.c_str();
    image_record_version = file_record_version.c_str();
}

void use_builtin_image()
{
    firmware_image = pelmo4rix_image_bytes;
    expected_crc = builtin_crc;
    image_version = BUILTIN_VERSION;
    image_record_version = BUILTIN_VERSION;
    file_image.clear();
}

int compare_versions(const std::string& a, const std::string& b)
{
    const char* x = a.c_str();
    const char* y = b.c_str();
    while (*x || *y) {
        char* x_end = nullptr;
        char* y_end = nullptr;
        const unsigned long long m = strtoull(x, &x_end, 10), n = strtoull(y, &y_end, 10);
        if (m != n)
            return m < n ? -1 : 1;
        x = *x_end ? x_end + 1 : x_end;  // past the '.' (or whatever ends the part)
        y = *y_end ? y_end + 1 : y_end;
    }
    return 0;
}
