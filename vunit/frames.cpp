// The unit's side of the frame format: finding frames in a byte stream and naming them.
#include <algorithm>
#include <initializer_list>

#include "internal.h"

namespace vunit_detail {

namespace {

constexpr uint8_t hci_command = 0x01, opcode_low = 0xE0, opcode_high = 0xFC;
constexpr uint8_t extended_mark = 0xFF, extended_second = 0xF4;
constexpr size_t longest_frame = 8192;  // above any frame of the catalogue: garbage

bool is_letter(uint8_t c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }

bool same(const std::vector<uint8_t>& f, std::initializer_list<uint8_t> bytes)
{
    return f.size() == bytes.size() && std::equal(bytes.begin(), bytes.end(), f.begin());
}

int short_form_kind(const std::vector<uint8_t>& f)
{
    if (same(f, {0x01, 0xE0, 0xFC, 0x01, 0x00}))
        return 1;
    if (same(f, {0x01, 0xE0, 0xFC, 0x02, 0xAA, 0x55}))
        return 2;
    if (same(f, {0x01, 0xE0, 0xFC, 0x05, 0xFE, 0x95, 0x27, 0x95, 0x27}))
        return 5;
    if (f.size() == 10 && f[4] == 0x0F)
        return 7;
    if (same(f, {0x01, 0xE0, 0xFC, 0x09, 0x01, 0x00, 0x80, 0xF4, 0x00, 0x01, 0x00, 0x5A, 0x00}))
        return 9;
    if (same(f, {0x01, 0xE0, 0xFC, 0x09, 0x01, 0x00, 0x80, 0xF4, 0x00, 0x01, 0x00, 0xA5, 0x00}))
        return 10;
    if (f.size() == 13 && f[4] == 0x10)
        return 17;
    return 0;
}

int extended_form_kind(const std::vector<uint8_t>& f)
{
    if (f.size() < 8)
        return 0;
    switch (f[7]) {
    case 0x0C:
        return f.size() == 9 ? 11 : 0;
    case 0x0D:
        return f.size() == 10 ? 12 : 0;
    case 0x0F:
        return f.size() == 13 ? 13 : 0;
    case 0x07:  // the information sector's write is the write at 0xFD000
        if (f.size() < 12)
            return 0;
        return le32(f, 8) == 0xFD000 ? 15 : 14;
    case 0x09:
        return f.size() == 12 ? 18 : 0;
    default:
        return 0;
    }
}

}  // namespace

uint32_t le32(const std::vector<uint8_t>& f, size_t at)
{
    return uint32_t(f[at]) | uint32_t(f[at + 1]) << 8 | uint32_t(f[at + 2]) << 16 | uint32_t(f[at + 3]) << 24;
}

long frame_length(const uint8_t* p, size_t n)
{
    if (n == 0)
        return 0;
    if (p[0] == '/') {
        if (n < 2)
            return 0;
        return is_letter(p[1]) ? 2 : -1;
    }
    if (p[0] != hci_command)
        return -1;
    if (n > 1 && p[1] != opcode_low)
        return -1;
    if (n > 2 && p[2] != opcode_high)
        return -1;
    if (n < 4)
        return 0;
    if (p[3] != extended_mark)
        return 4 + long(p[3]);
    if (n > 4 && p[4] != extended_second)
        return -1;
    if (n < 7)
        return 0;
    size_t count = size_t(p[5]) | size_t(p[6]) << 8;
    if (7 + count > longest_frame)
        return -1;
    return long(7 + count);
}

bool next_frame(std::vector<uint8_t>& scan, std::vector<uint8_t>& frame)
{
    while (!scan.empty()) {
        long length = frame_length(scan.data(), scan.size());
        if (length < 0) {
            scan.erase(scan.begin());
            continue;
        }
        if (length == 0 || size_t(length) > scan.size())
            return false;
        frame.assign(scan.begin(), scan.begin() + length);
        scan.erase(scan.begin(), scan.begin() + length);
        return true;
    }
    return false;
}

int frame_kind(const std::vector<uint8_t>& f)
{
    if (f.size() == 2 && f[0] == '/') {
        switch (f[1]) {
        case 'q': return 21;
        case 'v': return 22;
        case 'd': return 23;
        default: return 0;
        }
    }
    if (f.size() < 4)
        return 0;
    return f[3] == extended_mark ? extended_form_kind(f) : short_form_kind(f);
}

const char* kind_name(int kind)
{
    switch (kind) {
    case 1: return "CMD_PROBE";
    case 2: return "CMD_HANDSHAKE";
    case 3: return "CMD_HANDSHAKE_BURST_LONG";
    case 4: return "CMD_HANDSHAKE_BURST_SHORT";
    case 5: return "CMD_BOOT_PATTERN";
    case 7: return "CMD_SET_BAUD_1M";
    case 9: return "CMD_RESTART_1";
    case 10: return "CMD_RESTART_2";
    case 11: return "EN_FLASH_WR_1";
    case 12: return "EN_FLASH_WR_2";
    case 13: return "CMD_ERASE_FLASH";
    case 14: return "CMD_WRITE_SECTOR";
    case 15: return "CMD_WRITE_BT_INFO";
    case 17: return "CMD_VERIFY_FLASH";
    case 18: return "CMD_READ_BT_INFO";
    case 19: return "CMD_READ_PARAMS";
    case 21: return "CMD_QUIT";
    case 22: return "CMD_GET_VERSION";
    case 23: return "CMD_DEBUG_ON";
    case 24: return "CMD_VERSION_NOREPLY";
    default: return nullptr;
    }
}

bool kind_has_address(int kind) { return kind == 13 || kind == 14 || kind == 15 || kind == 18 || kind == 19; }

uint32_t frame_address(const std::vector<uint8_t>& f, int kind)
{
    if (kind == 13)  // opcode in byte 8, then a 24-bit address
        return uint32_t(f[9]) | uint32_t(f[10]) << 8 | uint32_t(f[11]) << 16;
    return le32(f, 8);
}

}  // namespace vunit_detail
