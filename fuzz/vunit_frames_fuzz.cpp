// Any bytes from the program's side into the virtual unit: the UART at a mismatched speed,
// the frame scanner, the naming of frames and the unit model's handling of every frame
// found, in both layouts and flash sizes.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "internal.h"

using namespace vunit_detail;

namespace {

constexpr size_t LONGEST_REPLY = 4110;  // a sector read in the old layout

void check(bool ok, const char* what)
{
    if (!ok) {
        fprintf(stderr, "broken: %s\n", what);
        abort();
    }
}

void take_frame(unit_model& unit, const std::vector<uint8_t>& frame)
{
    int kind = frame_kind(frame);
    check(kind == 0 || kind_name(kind) != nullptr, "a kind found is a catalogue kind");
    size_t flash_size = unit.flash.size();
    plan p = unit.handle(frame, kind);
    check(unit.flash.size() == flash_size, "the flash keeps its size");
    check(p.reply.size() <= LONGEST_REPLY, "no reply longer than the catalogue's longest");
    check(!p.send || kind != 0, "frames outside the catalogue get no answer");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 1)
        return 0;
    vunit_config config;
    config.version = data[0] & 1 ? "605" : "205";
    config.flash_mbit = data[0] & 2 ? 8 : 4;
    if (data[0] & 4)
        config.stored_address = "0604:03:123456";
    if (data[0] & 8)
        config.faults = {"short-reply:18:20:1", "bad-crc"};
    unit_model unit;
    std::string error;
    check(unit.init(config, error), "a valid configuration starts the unit");

    // Bytes sent at another speed than the unit's arrive as its UART makes them out.
    std::vector<uint8_t> line(data + 1, data + size);
    const uint32_t sent_at = data[0] & 0x10 ? 1000000 : 115200, taken_at = data[0] & 0x20 ? 1000000 : 115200;
    if (sent_at != taken_at) {
        line = uart_resample(data + 1, size - 1, sent_at, taken_at);
        check(line.size() <= (size - 1) * (taken_at / sent_at + 1), "no more bytes than the line can carry");
    }

    // As the unit's line does: bytes join the partial frame, garbage is skipped byte by byte.
    std::vector<uint8_t> scan, frame;
    for (uint8_t byte : line) {
        scan.push_back(byte);
        while (next_frame(scan, frame)) {
            check(frame.size() <= 8192, "no frame longer than the scanner's limit");
            take_frame(unit, frame);
        }
    }
    return 0;
}
