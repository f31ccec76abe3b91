// Operations on the unit, each a fixed sequence of exchanges.
#pragma once

#include <cstdint>

// Restarts the unit at whichever speed it listens, and leaves the port at 115200 baud.
void restart_device();

// Restarts a unit whose loader a raised rate `baud` may have left there: the restart pair at
// `baud`, at 1,000,000 and at 115200 (1,000,000 first unless `raised_first`), until the unit
// answers one whole; leaves the port at 115200. Without a raised rate: restart_device.
void restart_device_at(uint32_t baud, bool raised_first = true);

// Asks the running firmware for its version: sets fw_version and new_flash_layout, prints the
// version. 1 when the reply held it.
int query_fw_version();

// Where the version marker starts within the bytes the last reply delivered, or -1.
int find_version_marker();

// Brings the unit into its loader and the line to 1,000,000 baud; 1 on success, else 0 with
// error_code 7 (no probe reply), 8 (no handshake), 9 (speed change refused) or 10 (port).
int enter_boot_mode();

// The rates a raised rate steps down through, fastest first, down to the loader's usual one.
constexpr uint32_t STEP_DOWN_BAUDS[] = {2000000, 1500000, 1000000};
// The next rate of STEP_DOWN_BAUDS below `baud`; 1,000,000 at the bottom.
uint32_t next_lower_baud(uint32_t baud);
// Boot mode entry asking the loader for `baud`, then one exchange at that rate to prove the
// loader follows. On any doubt (refused, silent, garbled) the unit is restarted at `baud`,
// 1,000,000 and 115200 and entered again at the next lower rate, down to 1,000,000, which is
// enter_boot_mode itself. 1 with the rate the line now runs at in `reached`; else 0 and
// error_code as enter_boot_mode.
int enter_boot_mode_fast(uint32_t baud, uint32_t& reached);

// Unlocks, erases and writes the flash (image, information sector from bt_address, sector 0
// last), then has the unit checksum it. 1 only when every command succeeded and the checksum
// equals expected_crc; else 0 with error_code 11 to 16, 18, 19 or 20 (checksum differs).
int program_flash();
// program_flash, or with `skip_blank` without sending the image sectors that are all 0xFF:
// the whole erase made them so, and the final checksum still proves it over its range.
int program_whole_flash(bool skip_blank);
// Image sectors of the plan that are all 0xFF.
int blank_plan_sectors();

// Image sectors the flash plan writes (sector 0 included): 253 on the 8 Mbit part, 125 on
// the 4 Mbit part, chosen by the first character of image_version.
int flash_plan_sectors();
constexpr int PLAN_SECTORS_8MBIT = 253;
constexpr int PLAN_SECTORS_4MBIT = 125;
constexpr int ERASE_STEPS = 30;

// The phases of program_flash, reported as they go; program_changed_flash compares first.
enum flash_phase { PHASE_ERASE, PHASE_WRITE, PHASE_VERIFY, PHASE_COMPARE };
constexpr int PROGRESS_BEGIN = -1;  // `step` when a phase begins
// Progress report of program_flash: `step` is PROGRESS_BEGIN when the phase begins, 0 to
// total - 1 just before that step's command is sent, and `total` once the phase has ended.
// Erase: 30 steps. Write: every frame in order, the image sectors 1 to count - 1, then the
// information sector, then sector 0 (total count + 1). Verify: one step, the checksum.
using progress_function = void (*)(flash_phase phase, int step, int total);
// The reporting function in use; by default print_progress_dots.
extern progress_function flash_progress;
// The tools' progress: the headings, a dot per erase step and per fourth image sector, "Done".
void print_progress_dots(flash_phase phase, int step, int total);

// What program_changed_flash did, for its report.
struct change_report {
    int compared = 0;          // sectors of the plan that the unit's checksums judged (not sector 0)
    int skipped = 0;           // sectors of the plan left as the unit held them
    int written = 0;           // sectors written
    bool whole_plan = false;   // a step failed or the final checksum differed: the whole plan ran
    double seconds_saved = 0;  // the whole plan on a typical part, less this run (unlock to checksum reply)
};

// Programs only what differs from the plan of program_flash: after the unlock the unit
// checksums each 64 KB block of the plan (each sector of a block that differs); sector 0 is
// erased first and written last; the sectors that differ are erased (a whole block at once
// where all of it differs) and written, the information sector from bt_address only when it
// differs. The checksum over 0 to 0x7CFFF decides as in program_flash. A failed step or a
// checksum that differs runs program_flash at once, so the unit ends no worse off than
// by the whole plan (program_whole_flash with `skip_blank`). Results as program_flash.
int program_changed_flash(change_report& report, bool skip_blank = false);

// Reads the stored information sector. `take` 1 keeps a stored address in bt_address without
// showing it; `take` 0 shows it. 1 when the sector was read (address found or not); sets
// bt_address_loaded then.
int read_bt_address(int take);

// Reads the stored parameter block into device_params and shows it; 1 when the sector was
// read (block found or not).
int read_params();

// Right after a successful read_bt_address: 1 with the stored address in `address` (bt_address
// order) when the sector held one, else 0.
int stored_address(uint8_t address[6]);

// Right after a successful read_params: 1 when the sector held a parameter block (now in
// device_params), else 0.
int stored_params_found();
