// The catalogue of command frames and the sending of one frame.
#pragma once

#include <cstdint>

using CommandKind = int32_t;

constexpr CommandKind CMD_PROBE = 1;
constexpr CommandKind CMD_HANDSHAKE = 2;
constexpr CommandKind CMD_HANDSHAKE_BURST_LONG = 3;
constexpr CommandKind CMD_HANDSHAKE_BURST_SHORT = 4;
constexpr CommandKind CMD_BOOT_PATTERN = 5;
constexpr CommandKind CMD_SET_BAUD_1M = 7;
constexpr CommandKind CMD_RESTART_1 = 9;
constexpr CommandKind CMD_RESTART_2 = 10;
constexpr CommandKind EN_FLASH_WR_1 = 11;
constexpr CommandKind EN_FLASH_WR_2 = 12;
constexpr CommandKind CMD_ERASE_FLASH = 13;
constexpr CommandKind CMD_WRITE_SECTOR = 14;
constexpr CommandKind CMD_WRITE_BT_INFO = 15;
constexpr CommandKind CMD_VERIFY_FLASH = 17;
constexpr CommandKind CMD_READ_BT_INFO = 18;
constexpr CommandKind CMD_READ_PARAMS = 19;
constexpr CommandKind CMD_QUIT = 21;
constexpr CommandKind CMD_GET_VERSION = 22;
constexpr CommandKind CMD_DEBUG_ON = 23;
constexpr CommandKind CMD_VERSION_NOREPLY = 24;

constexpr int32_t SEND_FAILED = 0xFFFFFF;  // send_command's result when the write call failed
constexpr int FRAME_MAX = 4108;            // 12-byte head and a 4096-byte payload

constexpr uint8_t ERASE_BLOCK_OPCODE = 0xD8;   // a 64 KB block erase
constexpr uint8_t ERASE_SECTOR_OPCODE = 0x20;  // a 4 KB sector erase

constexpr uint32_t BAUD_DEFAULT = 115200;
constexpr uint32_t BAUD_LOADER = 1000000;

// Builds the frame of `kind` into `frame` (FRAME_MAX bytes) and returns its length, or 0 for
// a number outside the catalogue; `reply_length` receives the reply bytes the frame awaits.
int build_frame(CommandKind kind, uint8_t* frame, int32_t& reply_length);

// Frames with a flash address or range of the caller's choosing, in the shape of the
// catalogue's kinds 13 and 17: an erase (`opcode` ERASE_BLOCK_OPCODE or ERASE_SECTOR_OPCODE)
// of the region at `address`, and the checksum of flash `first` to `last`, both included.
// Each returns the frame's length.
int build_erase_frame(uint8_t opcode, uint32_t address, uint8_t* frame);
int build_checksum_frame(uint32_t first, uint32_t last, uint8_t* frame);
// The speed change of kind 7 asking the loader for `baud`; with BAUD_LOADER it is the
// catalogue's frame byte for byte.
int build_speed_frame(uint32_t baud, uint8_t* frame);

// Writes a frame that the caller built as one of `kind`, as send_command writes its own.
int32_t send_frame(CommandKind kind, const uint8_t* frame, int length);

// Writes the frame of `kind` to the open port in one write. Returns the reply length to read,
// 0 for a number outside the catalogue, SEND_FAILED when the write failed (error_code 4);
// a short write sets error_code 5.
int32_t send_command(CommandKind kind);
