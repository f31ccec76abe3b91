// A bare serial client for driving the virtual unit over its real pty, and the loader frames
// written out byte by byte. Deliberately independent of the program's own link code.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "vunit.h"

using bytes = std::vector<uint8_t>;

// The terminal side of the unit's port, raw 8N1, at a chosen speed.
struct line_client {
    int fd = -1;
    explicit line_client(const std::string& path, uint32_t baud = 115200);
    ~line_client();
    line_client(const line_client&) = delete;
    line_client& operator=(const line_client&) = delete;

    void set_baud(uint32_t baud);
    void send(const bytes& frame);
    bool try_send(const bytes& frame);  // false once the line is hung up
    // Reads until `n` bytes have come or `ms` have passed (a hang guard, not a measurement).
    bytes read_for(size_t n, int ms);
    // Reads until the line has been quiet for `quiet_ms`.
    bytes drain(int quiet_ms);
    // Sends `frame` and reads up to `n` reply bytes.
    bytes exchange(const bytes& frame, size_t n, int ms = 2000);
    // Sends `frame`, reads `n` reply bytes and whatever follows them at once: the result is
    // `n` bytes long only when the reply was neither short nor long.
    bytes exact(const bytes& frame, size_t n);
};

// Frames of the catalogue.
namespace frame {
bytes probe();
bytes handshake();
bytes boot_pattern();
bytes set_baud_1m();
bytes restart_1();
bytes restart_2();
bytes status_read();
bytes status_write(uint8_t value);
bytes erase(uint8_t opcode, uint32_t address);
bytes write(uint32_t address, const bytes& data);  // 4096 data bytes
bytes verify(uint32_t first, uint32_t last);
bytes read(uint32_t address);
bytes text(char letter);  // "/v", "/d", "/q"
}  // namespace frame

// CRC-32/JAMCRC computed bit by bit, as a check on the unit's table-driven one.
uint32_t bitwise_jamcrc(const uint8_t* data, size_t n);
uint32_t le32_at(const bytes& b, size_t at);
bytes pattern(size_t n, uint32_t seed);  // deterministic pseudo-random bytes

// A fresh directory under /tmp, removed with its content at the end of the scope.
struct scratch_dir {
    std::string path;
    scratch_dir();
    ~scratch_dir();
    std::string operator/(const std::string& name) const { return path + "/" + name; }
};

struct unit_stopper {
    void operator()(vunit* u) const { vunit_stop(u); }
};
using unit_ptr = std::unique_ptr<vunit, unit_stopper>;

// Starts a unit or fails the test.
unit_ptr start_unit(const vunit_config& config);

// A unit with a client on its port, at 115200 in the running firmware.
struct bench {
    unit_ptr unit;
    line_client line;
    explicit bench(const vunit_config& config = {});
    // Handshake, speed change, client at 1000000: the loader ready for flash commands.
    void enter_loader();
    // enter_loader, then the status register cleared.
    void unlock();
    // Frames the unit has taken in so far.
    size_t frame_count();
};
