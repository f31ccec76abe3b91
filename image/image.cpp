#include "image/image.h"

// The image file goes into the program's data as it stands; the build has checked it already.
__asm__(".section .rodata\n"
        ".balign 16\n"
        ".globl pelmo4rix_image_bytes\n"
        "pelmo4rix_image_bytes:\n"
        ".incbin \"" PELMO4RIX_IMAGE_FILE "\"\n"
        ".text\n");

extern "C" const uint8_t pelmo4rix_image_bytes[];

const uint8_t* const firmware_image = pelmo4rix_image_bytes;
const char* image_version = "6.05";
const char tool_version[5] = "1.03";
const uint8_t expected_crc[4] = {IMAGE_CRC & 0xFF, (IMAGE_CRC >> 8) & 0xFF, (IMAGE_CRC >> 16) & 0xFF,
                                 IMAGE_CRC >> 24};
