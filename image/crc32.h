// CRC-32 with the reflected polynomial 0xEDB88320 and initial value 0xFFFFFFFF, without the
// final complement (CRC-32/JAMCRC): the checksum the unit computes over its flash.
#pragma once

#include <cstddef>
#include <cstdint>

struct crc32_table {
    uint32_t entry[256];
    constexpr crc32_table() : entry()
    {
        for (uint32_t i = 0; i < 256; i++) {
            uint32_t c = i;
            for (int k = 0; k < 8; k++)
                c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
            entry[i] = c;
        }
    }
};
inline constexpr crc32_table CRC32_TABLE{};

// Continues a JAMCRC register over `n` more bytes.
inline uint32_t jamcrc_update(uint32_t crc, const uint8_t* data, size_t n)
{
    for (size_t i = 0; i < n; i++)
        crc = CRC32_TABLE.entry[(crc ^ data[i]) & 0xFF] ^ (crc >> 8);
    return crc;
}

inline uint32_t jamcrc(const uint8_t* data, size_t n)
{
    return jamcrc_update(0xFFFFFFFFu, data, n);
}
