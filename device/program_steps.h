// Steps of program_flash that the programming of only what changed shares with it.
#pragma once

#include <cstdint>

// Clears the flash's protection bits; 1 on success, else 0 with error_code 11, 12 or 13.
int unlock_flash();

// Has the unit checksum flash 0 to 0x7CFFF and compares it with expected_crc; 1 when it
// matches, else 0 with error_code 19 (no reply) or 20 (it differs, shown with both values).
int verify_flash();

// Whether the 4096 bytes at `bytes` are all 0xFF, as an erase leaves a sector.
bool erased_sector(const uint8_t* bytes);
