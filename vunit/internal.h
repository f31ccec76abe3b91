// Pieces of the virtual unit that are independent of threads and descriptors: the wire
// (UART resampling, CRC), the frame scanner, the fault list and the unit's behaviour.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "vunit.h"

namespace vunit_detail {

// CRC-32/JAMCRC (reflected 0xEDB88320, initial all ones, no final complement).
uint32_t crc32_jamcrc(const uint8_t* data, size_t n);

// What a receiver at `rx_baud` makes of bytes sent back to back at `tx_baud` (8N1): a
// bit-level model of a UART that samples mid-bit after each falling edge.
std::vector<uint8_t> uart_resample(const uint8_t* data, size_t n, uint32_t tx_baud, uint32_t rx_baud);

// Frame scanner. For the bytes at the start of a stream: the length of the complete frame
// there, 0 when more bytes are needed, -1 when the first byte starts no frame (skip it).
long frame_length(const uint8_t* p, size_t n);
// Cuts the first complete frame off the front of `scan` into `frame`, dropping the bytes
// before it that start no frame; false when no complete frame is there yet.
bool next_frame(std::vector<uint8_t>& scan, std::vector<uint8_t>& frame);

uint32_t le32(const std::vector<uint8_t>& bytes, size_t at);  // little-endian, as in every frame

// Catalogue kind of one complete frame (0: outside the catalogue).
int frame_kind(const std::vector<uint8_t>& frame);
const char* kind_name(int kind);  // "CMD_PROBE", ...; nullptr for 0
bool kind_has_address(int kind);  // erase, write and read frames carry a flash address
uint32_t frame_address(const std::vector<uint8_t>& frame, int kind);

struct fault {
    enum type_t { silent, no_reply, short_reply, reply, bad_crc, unplug_after, noise, unerased } type;
    int kind = 0;
    long count = -1;  // frames still affected; -1 always
    long after = 0;   // frames of the kind let through before the fault starts
    size_t length = 0;            // short-reply: bytes kept; unplug-after-sectors: N; unerased: SECTOR
    std::vector<uint8_t> bytes;   // reply: the reply
};
bool parse_fault(const std::string& text, fault& out, std::string& error);

// Checks the parts of a configuration that vunit_parse_args also checks.
bool check_config(const vunit_config& config, std::string& error);

// What the unit does after a frame: bytes to send (after `delay_ms`), and state changes that
// follow the reply on the wire.
struct plan {
    bool send = false;
    std::vector<uint8_t> reply;
    double delay_ms = 0;  // the flash's busy time
    uint32_t baud_after = 0;  // 0: keep the speed
    bool unplug = false;
};

// The unit's state and behaviour, without I/O.
struct unit_model {
    bool new_layout = true;
    std::string version;
    std::vector<uint8_t> flash;
    uint8_t status_register = 0x1C;  // protection bits set at power-up
    bool loader = false;
    bool boot_from_flash = false;  // an erased sector 0 holds no firmware to start
    uint32_t firmware_baud = 115200;  // the running firmware's speed, again after a restart
    uint32_t baud = firmware_baud;
    bool trace_on = false;
    bool silent = false;
    bool restart_armed = false;  // kind 9 was the last frame: kind 10 restarts
    bool bad_crc = false;
    bool noise = false;
    long unplug_after = -1;
    long unerased_sector = -1;  // a worn sector: erases leave it as it was
    long sector_writes = 0;
    int erase_block_ms = 0, erase_sector_ms = 0, write_ms = 0, crc_ms = 0;
    uint32_t max_baud = 1000000;
    enum baud_fault_t { baud_ignore, baud_refuse, baud_garble } baud_fault = baud_ignore;
    bool garbled = false;  // took a speed it can't keep: what it sends is garbage until a restart
    std::vector<fault> faults;

    // Builds the unit from a checked configuration (flash-in, stored address, parameters).
    bool init(const vunit_config& config, std::string& error);
    plan handle(const std::vector<uint8_t>& frame, int kind);

  private:
    plan running_face(const std::vector<uint8_t>& frame, int kind);
    plan loader_face(const std::vector<uint8_t>& frame, int kind);
    plan speed_change(const std::vector<uint8_t>& frame);
    bool take_fault(fault::type_t type, int kind, fault** found);
    void restart();
    bool no_firmware() const;
};

std::vector<uint8_t> info_sector(uint16_t nap, uint8_t uap, uint32_t lap);

}  // namespace vunit_detail
