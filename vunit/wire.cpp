// The wire between the unit and the program: CRC of the flash, and what a UART makes of a
// byte stream sent at another speed.
#include <cmath>

#include "internal.h"

namespace vunit_detail {

uint32_t crc32_jamcrc(const uint8_t* data, size_t n)
{
    static const std::vector<uint32_t> table = [] {
        std::vector<uint32_t> t(256);
        for (uint32_t i = 0; i < 256; ++i) {
            uint32_t c = i;
            for (int k = 0; k < 8; ++k)
                c = (c & 1) ? (c >> 1) ^ 0xEDB88320u : c >> 1;
            t[i] = c;
        }
        return t;
    }();
    uint32_t crc = 0xFFFFFFFFu;
    for (size_t i = 0; i < n; ++i)
        crc = table[(crc ^ data[i]) & 0xFF] ^ (crc >> 8);
    return crc;
}

namespace {

// The sender's line: back-to-back 8N1 frames (start bit 0, data LSB first, stop bit 1), idle
// high before and after.
struct line {
    const uint8_t* data;
    size_t n;
    double cell;  // seconds per sender bit

    int level_of_cell(long c) const
    {
        if (c < 0 || size_t(c / 10) >= n)
            return 1;
        int pos = int(c % 10);
        if (pos == 0)
            return 0;
        if (pos == 9)
            return 1;
        return (data[c / 10] >> (pos - 1)) & 1;
    }
    long cell_at(double t) const { return long(std::floor(t / cell)); }
    int level(double t) const { return level_of_cell(cell_at(t)); }
    double end() const { return double(n) * 10 * cell; }

    // First time at or after `t` where the line is at `want`; end() when never.
    double find(double t, int want) const
    {
        for (long c = cell_at(t); double(c) * cell < end(); ++c)
            if (level_of_cell(c) == want)
                return std::max(t, double(c) * cell);
        return end();
    }
};

}  // namespace

std::vector<uint8_t> uart_resample(const uint8_t* data, size_t n, uint32_t tx_baud, uint32_t rx_baud)
{
    std::vector<uint8_t> out;
    if (tx_baud == 0 || rx_baud == 0)
        return out;
    const line wire{data, n, 1.0 / tx_baud};
    const double bit = 1.0 / rx_baud;
    double t = 0;
    while (t < wire.end()) {
        double start = wire.find(t, 0);
        if (start >= wire.end())
            break;
        if (wire.level(start + bit / 2) != 0) {  // a glitch, not a start bit
            // From the sampling point, which is high: searching from `start` can land on
            // `start` again when rounding puts it in the cell before, and never end.
            t = wire.find(start + bit / 2, 1);
            continue;
        }
        uint8_t byte = 0;
        for (int k = 0; k < 8; ++k)
            if (wire.level(start + (k + 1.5) * bit))
                byte |= uint8_t(1 << k);
        // Linux delivers a byte with a framing error as it was shifted in (no INPCK in raw mode).
        out.push_back(byte);
        t = start + 9.5 * bit;
        if (wire.level(t) == 0)  // framing error: wait for the line to go idle again
            t = wire.find(t, 1);
    }
    return out;
}

}  // namespace vunit_detail
