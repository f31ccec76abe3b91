// An in-memory serial line for the fuzz targets. It takes the place of the platform's port
// (it defines every operation of link/os_port.h, so the linker takes none from the platform
// file) and answers each read from a script of what the unit sends.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

// The script: each read of the program takes one length byte, then that many bytes (fewer
// when the read asks for less or the script ends; the script goes on after the bytes taken). Length 0xFF is a read that fails; once
// the script is used up every read times out with nothing.
void line_load(const uint8_t* script, size_t size);

// The bytes the program wrote since line_load, in order.
const std::vector<uint8_t>& line_written();

// Bytes the reads delivered since the program's last write: the reply to its last frame.
const std::vector<uint8_t>& line_read_since_write();
