// Operations on the unit, each a fixed sequence of exchanges.
#pragma once

// Restarts the unit at whichever speed it listens, and leaves the port at 115200 baud.
void restart_device();

// Asks the running firmware for its version: sets fw_version and new_flash_layout, prints the
// version. 1 when the reply held it.
int query_fw_version();

// Where the version marker starts within the bytes the last reply delivered, or -1.
int find_version_marker();
