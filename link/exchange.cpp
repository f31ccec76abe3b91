#include "link/exchange.h"

#include <algorithm>
#include <cstring>

#include "link/console_print.h"
#include "link/os_port.h"
#include "link/pause.h"
#include "link/state.h"

namespace {

int tries_per_chunk()
{
    switch (last_command) {
    case CMD_VERIFY_FLASH: return TRIES_VERIFY;
    case CMD_ERASE_FLASH: return TRIES_ERASE;
    default: return TRIES_PER_CHUNK;
    }
}

// The chunk of the reply kept in reply_capture: the third one of a parameter read in the old
// layout (where the parameter block lies), the first one otherwise.
int captured_chunk()
{
    return last_command == CMD_READ_PARAMS && new_flash_layout == 0 ? 2 : 0;
}

// Reads one chunk of `size` bytes with up to `tries` reads; returns the bytes it holds.
int read_chunk(uint8_t* chunk, int size, int tries)
{
    int got = 0;
    for (int t = 0; t < tries && got < size; t++) {
        long r = os_port_read(port_handle, chunk + got, static_cast<size_t>(size - got));
        if (r > 0)
            got += static_cast<int>(r);
    }
    return got;
}

void send_burst(CommandKind kind, int count)
{
    for (int i = 0; i < count; i++) {
        send_command(kind);
        pause_ms(BURST_PAUSE_MS);
    }
}

// A short reply of the speed change that is an 8-byte command-complete event (04 0E 05 ...)
// means the unit did not take the new speed.
bool refused_speed_change(CommandKind kind)
{
    static const uint8_t refusal[3] = {0x04, 0x0E, 0x05};
    return kind == CMD_SET_BAUD_1M && reply_capture_count >= 3 && memcmp(reply_capture, refusal, 3) == 0;
}

// Stray bytes on the line must not stand for an unlock, erase or write that the unit never
// did (the checksum covers only part of the flash): these need their whole reply, and it
// must be the loader's event (04 0E, an HCI Command Complete).
bool changes_flash(CommandKind kind)
{
    return kind == EN_FLASH_WR_1 || kind == EN_FLASH_WR_2 || kind == CMD_ERASE_FLASH || kind == CMD_WRITE_SECTOR ||
           kind == CMD_WRITE_BT_INFO;
}

bool starts_with_event()
{
    return reply_capture_count >= 2 && reply_capture[0] == 0x04 && reply_capture[1] == 0x0E;
}

// Whether the `got` bytes read answer the frame of `kind`.
bool accepted(CommandKind kind, int got, int expected)
{
    if (changes_flash(kind))
        return got == expected && starts_with_event();
    if (got == expected)
        return true;
    return got > 0 && !refused_speed_change(kind);  // a short reply counts; callers look at its content
}

// The frame of `kind` sent once: the caller's `frame`, or one built afresh from the state.
int32_t send_once(CommandKind kind, const uint8_t* frame, int length)
{
    return frame ? send_frame(kind, frame, length) : send_command(kind);
}

// The first send and its repeat, each judged by its reply.
int exchange(CommandKind kind, const uint8_t* frame, int length)
{
    for (int attempt = 1; attempt <= ATTEMPTS; attempt++) {
        int32_t expected = send_once(kind, frame, length);
        if (expected == SEND_FAILED) {
            console_print(" Write file error\n");
            return 0;
        }
        if (expected == 0)
            return 1;
        if (accepted(kind, read_reply(expected), expected))
            return 1;
    }
    error_code = 6;
    return 0;
}

}  // namespace

bool speed_change_refused()
{
    return refused_speed_change(last_command);
}

int capture_reply(int count, const uint8_t* bytes)
{
    if (count <= 0)
        return 0;
    int n = std::min(count, static_cast<int>(sizeof reply_capture));
    memcpy(reply_capture, bytes, static_cast<size_t>(n));
    reply_capture_count = n;
    return n;
}

int read_reply(int expected)
{
    console_flush();  // what was printed shows while the reply is awaited, not after it
    const int tries = tries_per_chunk();
    const int captured = captured_chunk();
    reply_capture_count = 0;
    int total = 0;
    int remainder = expected;
    for (int index = 0; remainder > 0; index++) {
        uint8_t chunk[REPLY_CHUNK];
        int got = read_chunk(chunk, std::min(remainder, REPLY_CHUNK), tries);
        if (got == 0)
            break;
        if (index == captured)
            capture_reply(got, chunk);
        total += got;
        remainder -= got;
    }
    return total;
}

int run_command(CommandKind kind)
{
    reply_capture_count = 0;
    if (kind == CMD_HANDSHAKE_BURST_LONG || kind == CMD_HANDSHAKE_BURST_SHORT) {
        send_burst(kind, kind == CMD_HANDSHAKE_BURST_LONG ? BURST_LONG : BURST_SHORT);
        return 1;
    }
    return exchange(kind, nullptr, 0);
}

int run_frame(CommandKind kind, const uint8_t* frame, int length)
{
    reply_capture_count = 0;
    return exchange(kind, frame, length);
}
