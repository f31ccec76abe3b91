#include "device/flash_layout.h"

#include <cstring>

#include "image/image.h"
#include "link/state.h"

char hex_digit(int value)
{
    if (value < 0 || value > 15)
        return '0';
    return "0123456789ABCDEF"[value];
}

void build_info_sector(uint8_t* sector)
{
    static const char name[] = "Pelmo4Rix(";
    memset(sector, 0xFF, SECTOR_SIZE);
    memset(sector, 0x00, 38);
    memcpy(sector, bt_address, 6);
    memcpy(sector + 6, name, 10);
    sector[16] = static_cast<uint8_t>(hex_digit(bt_address[1] & 0x0F));
    sector[17] = static_cast<uint8_t>(hex_digit(bt_address[0] >> 4));
    sector[18] = static_cast<uint8_t>(hex_digit(bt_address[0] & 0x0F));
    sector[19] = ')';
}
