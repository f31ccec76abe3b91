// One exchange with the unit: a command frame sent and its reply read, with the retry rules.
#pragma once

#include <cstdint>

#include "link/frames.h"

constexpr int REPLY_CHUNK = 256;          // replies are read in chunks of this size
constexpr int TRIES_PER_CHUNK = 10;
constexpr int TRIES_ERASE = 30;           // an erase takes the unit a while
constexpr int TRIES_VERIFY = 100;         // a checksum over 512 KB takes longer still
constexpr int ATTEMPTS = 2;               // the first send and one repeat
constexpr int BURST_LONG = 101;
constexpr int BURST_SHORT = 11;
constexpr int BURST_PAUSE_MS = 4;

// Copies min(count, 100) bytes into reply_capture and returns that number (0 for count <= 0).
int capture_reply(int count, const uint8_t* bytes);

// Reads a reply of up to `expected` bytes in chunks; returns the bytes read.
int read_reply(int expected);

// Whether the last exchange's reply was the loader's refusal of a speed change (kind 7): it
// still listens at the rate it had.
bool speed_change_refused();

// Sends `kind` and judges its reply: 1 accepted, 0 failed (error_code 4 or 6).
int run_command(CommandKind kind);
// As run_command, with a frame of `kind` that the caller built (build_erase_frame,
// build_checksum_frame): the same retries, read tries and judgement of the reply.
int run_frame(CommandKind kind, const uint8_t* frame, int length);
