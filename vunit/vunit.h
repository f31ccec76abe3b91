// The virtual unit: a simulated Pelmo4Rix unit on a pseudo-terminal (Linux only).
//
// The unit serves the master side of a pty pair and publishes the terminal side as a serial
// port. It runs on a thread of its own; every function below may be called from any thread.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

// One field per command-line option of pelmo4rix-vunit (see vunit_parse_args).
struct vunit_config {
    std::string device_dir;          // --device-dir DIR: link the port in here
    std::string name = "COM7";       // --name NAME: the link's name
    bool list = false;               // --list: append NAME to DIR/SERIALCOMM
    std::string version = "605";     // --version XYZ: three characters; first above '2' = new layout
    int flash_mbit = 8;              // --flash-mbit 4|8
    std::string stored_address;      // --stored-address NAP:UAP:LAP, hex (0604:03:123456)
    std::string params;              // --params HEX32: 16-byte parameter block
    std::string flash_in, flash_out; // --flash-in FILE, --flash-out FILE
    std::string log, trace_out;      // --log FILE, --trace-out FILE
    bool line_rate = false;          // --line-rate: bytes at the simulated baud, typical flash timings
    bool boot_from_flash = false;    // --boot-from-flash: erased sector 0, no firmware: stays in the loader
    // Flash timings in ms; -1 leaves them to --erase-ms, then to the typical part with
    // --line-rate (flash_timings), else 0.
    int erase_ms = -1, write_ms = -1, crc_ms = -1;  // --erase-ms N, --write-ms N, --crc-ms N
    int erase_block_ms = -1;         // --erase-block-ms N: a 64 KB block erase
    int erase_sector_ms = -1;        // --erase-sector-ms N: a 4 KB sector erase
    int trace_rate = 4000;           // --trace-rate N: bytes per second of the firmware's trace
    int trace_bytes = -1;            // --trace-bytes N: the trace ends after N bytes (-1: never)
    uint32_t firmware_baud = 115200; // --firmware-baud N: the running firmware's line speed
    int adapter_latency_ms = 0;      // --adapter-latency-ms N: a USB adapter's latency timer
    uint32_t max_baud = 1000000;     // --max-baud N: the fastest speed change the loader takes
    std::string baud_fault = "ignore";  // --baud-fault ignore|refuse|garble: a faster one asked
    std::vector<std::string> faults; // --fault SPEC, repeatable
};

// Flash timings of a typical 8 Mbit SPI NOR part, taken from datasheet typical figures:
// a 64 KB block erase 150 ms, a 4 KB sector erase 45 ms, a 256-byte page program 0.7 ms (a
// 4 KB sector: 16 pages, 11 ms), and the checksum of 0x7D000 bytes read at a 20 MHz
// single-bit SPI clock (0.4 us a byte, 205 ms; a checksum of another range takes its share).
struct flash_timings {
    int erase_block_ms, erase_sector_ms, write_ms, crc_ms;
};
constexpr flash_timings typical_flash = {150, 45, 11, 205};

// Fills `config` from the program's arguments (argv[0] is skipped). On a bad argument returns
// false with a one-line message in `error`.
bool vunit_parse_args(int argc, char** argv, vunit_config& config, std::string& error);

// The text printed by `pelmo4rix-vunit --help` and after an argument error.
std::string vunit_usage();

struct vunit;

// Opens the pty pair, publishes the port and starts serving. nullptr (and `error`) on failure.
vunit* vunit_start(const vunit_config& config, std::string& error);

// The path a program opens: DIR/NAME when a device directory was given, else /dev/pts/N.
std::string vunit_port_path(const vunit* unit);

// A frame the unit received. `kind` is the catalogue number the bytes belong to; frames that
// are byte for byte the same report the lowest number (handshake 2 for 2/3/4, "/v" 22 for
// 22/24, sector read 18 for 18/19); 0 is a frame outside the catalogue. `baud` is the unit's
// speed when it took the frame in.
struct vunit_frame {
    int kind;
    uint32_t baud;
    std::vector<uint8_t> bytes;
};

std::vector<vunit_frame> vunit_frames(vunit* unit);   // every frame received so far, in order
std::vector<uint8_t> vunit_flash(vunit* unit);        // copy of the flash (512 KiB or 1 MiB)
std::vector<uint8_t> vunit_trace_sent(vunit* unit);   // every trace byte sent so far
uint32_t vunit_baud(vunit* unit);                     // the unit's current speed
bool vunit_in_loader(vunit* unit);                    // loader face (true) or running firmware
void vunit_set_trace_rate(vunit* unit, int bytes_per_second);  // 0: the line goes quiet
void vunit_unplug(vunit* unit);                       // close the pair now; returns when closed
void vunit_stop(vunit* unit);                         // stop, write flash-out, free (nullptr: no-op)
