#include <cstring>

#include "device/device.h"
#include "device/flash_layout.h"
#include "link/console_print.h"
#include "link/exchange.h"
#include "link/state.h"

namespace {

// Reply byte 15 + k is byte k of the sector read. Positions below are in reply_capture.
constexpr int SECTOR_AT = 15;
constexpr int NAME_AT = SECTOR_AT + 6;           // "Pe" of the name text marks a stored address
constexpr int ADDRESS_REPLY_END = NAME_AT + 2;

// New layout: the capture holds reply bytes 0 to 99; the marker "XS" at sector bytes 48 and
// 49, the block three bytes after the marker (both may stand one byte later).
constexpr int NEW_DUMP_AT = SECTOR_AT + 48;
constexpr int NEW_DUMP_LENGTH = 16;
constexpr int NEW_MARKER_AT = NEW_DUMP_AT;
constexpr int NEW_BLOCK_AFTER_MARKER = 3;
// Old layout: the capture holds reply bytes 512 to 611 (sector byte 497 + i); the block at
// sector bytes 500 to 515 carries the marker as its own bytes 8 and 9.
constexpr int OLD_BLOCK_AT = 3;
constexpr int OLD_MARKER_IN_BLOCK = 8;
constexpr int BLOCK_LENGTH = 16;
// The capture must reach the block of the later candidate.
constexpr int NEW_PARAMS_REPLY_END = NEW_MARKER_AT + 1 + NEW_BLOCK_AFTER_MARKER + BLOCK_LENGTH;
constexpr int OLD_PARAMS_REPLY_END = OLD_BLOCK_AT + 1 + BLOCK_LENGTH;

bool layout_known()
{
    if (new_flash_layout >= 0)
        return true;
    console_print(" Can't determine firmware version, No ID\n");
    return false;
}

// Reads the sector at flash_read_address with `kind`; 1 when the reply delivered the first
// `needed` bytes of the capture, which is all the caller looks at.
int read_sector(CommandKind kind, int needed)
{
    if (run_command(kind) && reply_capture_count >= needed)
        return 1;
    console_print(" Fail to read flash add = 0x%x\n", flash_read_address);
    return 0;
}

// The information sector just read holds an address when its name text starts with "Pe".
bool address_in_capture()
{
    return reply_capture[NAME_AT] == 'P' && reply_capture[NAME_AT + 1] == 'e';
}

bool marker_at(int at)
{
    return reply_capture[at] == 'X' && reply_capture[at + 1] == 'S';
}

// Where the parameter block starts in reply_capture, or -1 when no marker is there.
int find_params_block()
{
    if (new_flash_layout != 0) {
        for (int shift = 0; shift < 2; shift++)
            if (marker_at(NEW_MARKER_AT + shift))
                return NEW_MARKER_AT + shift + NEW_BLOCK_AFTER_MARKER;
        return -1;
    }
    for (int shift = 0; shift < 2; shift++)
        if (marker_at(OLD_BLOCK_AT + shift + OLD_MARKER_IN_BLOCK))
            return OLD_BLOCK_AT + shift;
    return -1;
}

void print_params_dump()
{
    console_print("\n RB = ");
    for (int i = 0; i < NEW_DUMP_LENGTH; i++)
        console_print("%x ", reply_capture[NEW_DUMP_AT + i]);
    console_print("\n");
}

void take_params(const uint8_t* block)
{
    for (int word = 0; word < 4; word++) {
        uint32_t value = 0;
        for (int i = 3; i >= 0; i--)
            value = value << 8 | block[4 * word + i];
        device_params[word] = static_cast<int32_t>(value);
    }
    console_print("\n\n Parameters: ");
    for (int i = 0; i < BLOCK_LENGTH; i++)
        console_print(" 0x%02x", block[i]);
    console_print("\n\n");
}

}  // namespace

int read_bt_address(int take)
{
    bt_address_loaded = 0;
    if (!layout_known())
        return 0;
    console_print(" Read Device BT Address ...\n");
    flash_read_address = new_flash_layout != 0 ? INFO_SECTOR_ADDRESS : OLD_ADDRESS_SECTOR;
    if (!read_sector(CMD_READ_BT_INFO, ADDRESS_REPLY_END))
        return 0;
    bool stored = address_in_capture();
    if (stored && take) {
        memcpy(bt_address, reply_capture + SECTOR_AT, sizeof bt_address);
    } else if (stored) {
        console_print("\n\t Device BT address : ");
        for (int i = 5; i >= 0; i--)
            console_print(" %02x", reply_capture[SECTOR_AT + i]);
        console_print("\n\n");
    } else if (!take) {
        console_print("\n\t Device has NO stored BT address. \n");
    }
    bt_address_loaded = 1;
    return 1;
}

int read_params()
{
    if (!layout_known())
        return 0;
    console_print(" Check Device Parameters ...");
    for (int32_t& word : device_params)
        word = -1;
    const bool new_layout = new_flash_layout != 0;
    flash_read_address = new_layout ? INFO_SECTOR_ADDRESS : OLD_PARAMS_SECTOR;
    if (!read_sector(CMD_READ_PARAMS, new_layout ? NEW_PARAMS_REPLY_END : OLD_PARAMS_REPLY_END))
        return 0;
    if (new_layout)
        print_params_dump();
    int block = find_params_block();
    if (block < 0) {
        console_print("\n\n No Stored Parameters: Use default. \n\n");
        return 1;
    }
    take_params(reply_capture + block);
    return 1;
}

int stored_address(uint8_t address[6])
{
    if (!address_in_capture())
        return 0;
    memcpy(address, reply_capture + SECTOR_AT, 6);
    return 1;
}

int stored_params_found()
{
    return find_params_block() >= 0 ? 1 : 0;
}
