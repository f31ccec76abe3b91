// The production station's parts, apart from its entry production_station (tools.h).
#pragma once

constexpr int PROGRAM_ATTEMPTS = 21;     // the first attempt and up to 20 further ones
constexpr int ATTEMPT_PAUSE_MS = 3000;   // before each further attempt

// Prints the menu screen with bt_address.
void draw_menu();

// Each finds the unit and opens its port, then does its work; 1 on success. They leave the
// port to the caller to close.
// Boot mode and programming, up to PROGRAM_ATTEMPTS times (the count made into `attempts`
// when given); restarts the unit.
int program_unit(int* attempts = nullptr);
int read_unit_address();  // shows the address stored on the unit
int read_unit_version();  // shows the unit's firmware version
int read_unit_params();   // shows the parameter block stored on the unit

// What the station does after a command.
enum station_step { STEP_REDRAW, STEP_NEXT_KEY, STEP_EXIT };
// Runs the command of `key` on the address file "info.ini".
station_step run_station_key(int key);
