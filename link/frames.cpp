#include "link/frames.h"

#include <cstring>

#include "device/flash_layout.h"
#include "image/image.h"
#include "link/os_port.h"
#include "link/state.h"

namespace {

struct catalogue_entry {
    CommandKind kind;
    uint8_t length;        // frame length for the fixed frames; 0 for frames built below
    int32_t reply_length;  // -1: depends on the flash layout
    uint8_t bytes[13];     // the whole fixed frame
};

constexpr int32_t READ_REPLY_NEW_LAYOUT = 256;
constexpr int32_t READ_REPLY_OLD_LAYOUT = 4110;

// Every frame of the catalogue. Kinds 2, 3 and 4 write the same bytes, as do 22 and 24; they
// differ in the reply awaited and in how the exchange sends them.
const catalogue_entry catalogue[] = {
    {CMD_PROBE, 5, 8, {0x01, 0xE0, 0xFC, 0x01, 0x00}},
    {CMD_HANDSHAKE, 6, 8, {0x01, 0xE0, 0xFC, 0x02, 0xAA, 0x55}},
    {CMD_HANDSHAKE_BURST_LONG, 6, 0, {0x01, 0xE0, 0xFC, 0x02, 0xAA, 0x55}},
    {CMD_HANDSHAKE_BURST_SHORT, 6, 0, {0x01, 0xE0, 0xFC, 0x02, 0xAA, 0x55}},
    {CMD_BOOT_PATTERN, 9, 0, {0x01, 0xE0, 0xFC, 0x05, 0xFE, 0x95, 0x27, 0x95, 0x27}},
    {CMD_SET_BAUD_1M, 10, 12, {0x01, 0xE0, 0xFC, 0x06, 0x0F, 0x40, 0x42, 0x0F, 0x00, 0x0F}},
    {CMD_RESTART_1, 13, 15, {0x01, 0xE0, 0xFC, 0x09, 0x01, 0x00, 0x80, 0xF4, 0x00, 0x01, 0x00, 0x5A, 0x00}},
    {CMD_RESTART_2, 13, 5, {0x01, 0xE0, 0xFC, 0x09, 0x01, 0x00, 0x80, 0xF4, 0x00, 0x01, 0x00, 0xA5, 0x00}},
    {EN_FLASH_WR_1, 9, 13, {0x01, 0xE0, 0xFC, 0xFF, 0xF4, 0x02, 0x00, 0x0C, 0x05}},
    {EN_FLASH_WR_2, 10, 13, {0x01, 0xE0, 0xFC, 0xFF, 0xF4, 0x03, 0x00, 0x0D, 0x01, 0x00}},
    {CMD_ERASE_FLASH, 0, 16, {}},
    {CMD_WRITE_SECTOR, 0, 15, {}},
    {CMD_WRITE_BT_INFO, 0, 15, {}},
    {CMD_VERIFY_FLASH, 13, 11, {0x01, 0xE0, 0xFC, 0x09, 0x10, 0x00, 0x00, 0x00, 0x00, 0xFF, 0xCF, 0x07, 0x00}},
    {CMD_READ_BT_INFO, 0, -1, {}},
    {CMD_READ_PARAMS, 0, -1, {}},
    {CMD_QUIT, 2, 0, {'/', 'q'}},
    {CMD_GET_VERSION, 2, 33, {'/', 'v'}},
    {CMD_DEBUG_ON, 2, 0, {'/', 'd'}},
    {CMD_VERSION_NOREPLY, 2, 0, {'/', 'v'}},
};

const catalogue_entry* find_entry(CommandKind kind)
{
    for (const catalogue_entry& entry : catalogue)
        if (entry.kind == kind)
            return &entry;
    return nullptr;
}

void put_le32(uint8_t* at, uint32_t value)
{
    for (int i = 0; i < 4; i++)
        at[i] = static_cast<uint8_t>(value >> (8 * i));
}

// The extended loader head: 01 E0 FC FF F4, a 16-bit count of what follows it, the sub-command.
void put_extended_head(uint8_t* frame, uint16_t count, uint8_t sub_command)
{
    const uint8_t head[] = {0x01, 0xE0, 0xFC, 0xFF, 0xF4,
                            static_cast<uint8_t>(count), static_cast<uint8_t>(count >> 8), sub_command};
    memcpy(frame, head, sizeof head);
}

int build_erase(uint8_t* frame)
{
    if (erase_step < 16)
        return build_erase_frame(ERASE_BLOCK_OPCODE, static_cast<uint32_t>(erase_step & 0xFF) << 16, frame);
    return build_erase_frame(ERASE_SECTOR_OPCODE, 0x0F0000 | (static_cast<uint32_t>(erase_step * 16) & 0xFF) << 8, frame);
}

int build_write(uint8_t* frame, uint32_t address, const uint8_t* data)
{
    put_extended_head(frame, 0x1005, 0x07);
    put_le32(frame + 8, address);
    memcpy(frame + 12, data, SECTOR_SIZE);
    return FRAME_MAX;
}

int32_t reply_length_of(const catalogue_entry& entry)
{
    if (entry.reply_length >= 0)
        return entry.reply_length;
    return new_flash_layout == 0 ? READ_REPLY_OLD_LAYOUT : READ_REPLY_NEW_LAYOUT;
}

int32_t write_frame(const uint8_t* frame, int length, int32_t reply_length)
{
    long written = os_port_write(port_handle, frame, static_cast<size_t>(length));
    if (written < 0) {
        error_code = 4;
        return SEND_FAILED;
    }
    if (written < length)
        error_code = 5;
    return reply_length;
}

int build_read(uint8_t* frame)
{
    put_extended_head(frame, 5, 0x09);
    put_le32(frame + 8, flash_read_address);
    return 12;
}

}  // namespace

int build_frame(CommandKind kind, uint8_t* frame, int32_t& reply_length)
{
    const catalogue_entry* entry = find_entry(kind);
    if (!entry)
        return 0;
    reply_length = reply_length_of(*entry);
    switch (kind) {
    case CMD_ERASE_FLASH:
        return build_erase(frame);
    case CMD_WRITE_SECTOR:
        if (sector_index < 0 || sector_index >= IMAGE_SECTORS)
            return 0;  // no such image sector: nothing to send
        return build_write(frame, static_cast<uint32_t>(sector_index) << 12,
                           firmware_image + static_cast<size_t>(sector_index) * SECTOR_SIZE);
    case CMD_WRITE_BT_INFO: {
        uint8_t sector[SECTOR_SIZE];
        build_info_sector(sector);
        return build_write(frame, INFO_SECTOR_ADDRESS, sector);
    }
    case CMD_READ_BT_INFO:
    case CMD_READ_PARAMS:
        return build_read(frame);
    default:
        memcpy(frame, entry->bytes, entry->length);
        return entry->length;
    }
}

int build_erase_frame(uint8_t opcode, uint32_t address, uint8_t* frame)
{
    put_extended_head(frame, 6, 0x0F);
    frame[8] = opcode;
    put_le32(frame + 9, address);
    return 13;
}

int build_checksum_frame(uint32_t first, uint32_t last, uint8_t* frame)
{
    const uint8_t head[] = {0x01, 0xE0, 0xFC, 0x09, 0x10};
    memcpy(frame, head, sizeof head);
    put_le32(frame + 5, first);
    put_le32(frame + 9, last);
    return 13;
}

int build_speed_frame(uint32_t baud, uint8_t* frame)
{
    const catalogue_entry* entry = find_entry(CMD_SET_BAUD_1M);
    memcpy(frame, entry->bytes, entry->length);
    put_le32(frame + 5, baud);
    return entry->length;
}

int32_t send_frame(CommandKind kind, const uint8_t* frame, int length)
{
    last_command = kind;
    const catalogue_entry* entry = find_entry(kind);
    if (!entry || length <= 0)
        return 0;
    return write_frame(frame, length, reply_length_of(*entry));
}

int32_t send_command(CommandKind kind)
{
    last_command = kind;
    uint8_t frame[FRAME_MAX];
    int32_t reply_length = 0;
    int length = build_frame(kind, frame, reply_length);
    if (length == 0)
        return 0;
    return write_frame(frame, length, reply_length);
}
