// Plain pauses of the calling thread. Tests switch sleeping off and read what would have
// been slept, so that retry paths are checked without waiting.
#pragma once

void pause_ms(int ms);

struct pause_log {
    bool sleep = true;  // false: record the pause only
    int count = 0;      // pauses asked for
    long total_ms = 0;  // their sum
};
extern pause_log pauses;
