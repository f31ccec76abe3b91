// Where things lie in the unit's serial flash, and the information sector that carries the
// unit's Bluetooth address.
#pragma once

#include <cstdint>

constexpr uint32_t INFO_SECTOR_ADDRESS = 0xFD000;      // the information sector, both layouts
constexpr uint32_t OLD_ADDRESS_SECTOR = 0x7D000;       // stored address in the old layout
constexpr uint32_t OLD_PARAMS_SECTOR = 0x7E000;        // stored parameters in the old layout

// Upper-case hexadecimal digit of 0 to 15; '0' for any other value.
char hex_digit(int value);

// The 4096-byte information sector for the current bt_address: the address, the name text
// "Pelmo4Rix(" with the low twelve bits of the LAP in hexadecimal and ")", zeros, then 0xFF.
void build_info_sector(uint8_t* sector);
