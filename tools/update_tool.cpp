// The firmware update tool: finds the unit, asks the operator to confirm, and writes the
// built-in image into the unit's flash, keeping the unit's own Bluetooth address. A failed
// attempt is retried within a cycle; after a failed cycle the operator replugs the unit and
// starts a new one.
#include <cstdio>
#include <cstring>

#include "device/device.h"
#include "image/image.h"
#include "link/discovery.h"
#include "link/pause.h"
#include "link/port.h"
#include "link/state.h"
#include "tools/console.h"
#include "tools/tools.h"

namespace {

// A cycle ends in the failure box once the failure count reaches this. The count starts at 0
// in the first cycle and at 1 in every later one: 20 attempts first, then 19 per cycle.
constexpr int FAILURE_LIMIT = 20;
constexpr int LATER_CYCLE_START = 1;
constexpr int ATTEMPT_PAUSE_MS = 3000;  // between two attempts of a cycle
constexpr int YES_KEY = 'y';            // case-sensitive: 'Y' is not yes

const char BANNER_RULE[] = "======================================================\n";

enum cycle_end { CYCLE_PROGRAMMED, CYCLE_FAILED, CYCLE_STOPPED };

struct update_run {
    int failures = 0;
    bool address_kept = false;  // bt_address holds the address read from the unit
    bool read_again = false;    // after the failure box: the unit plugged in may be another one
};

void print_banner()
{
    printf("%s", BANNER_RULE);
    printf("  Pelmo4Rix Firmware Update Software. Version %s\n", image_version);
    printf("%s", BANNER_RULE);
}

bool operator_confirms()
{
    printf("\n");
    printf(" Found the device.\n");
    printf(" After the upgrade, need to re-pair all the Bluetooth devices.\n");
    printf("\n Please type 'y' to continue or other key to stop the upgrade.\n");
    return read_key() == YES_KEY;
}

// Reads the unit's stored address into bt_address. A unit without one (the unit whose erase
// removed it) gets the address kept from an earlier read; one whose own address differs from
// the kept one is another unit and keeps its own, which the screen says.
int take_stored_address(update_run& run)
{
    uint8_t kept[sizeof bt_address];
    memcpy(kept, bt_address, sizeof kept);
    if (!read_bt_address(1))
        return 0;
    if (run.address_kept && memcmp(kept, bt_address, sizeof kept) != 0)
        printf(" Another device: it keeps its own BT address %02x%02x %02x %02x%02x%02x\n", bt_address[5],
               bt_address[4], bt_address[3], bt_address[2], bt_address[1], bt_address[0]);
    run.address_kept = true;
    run.read_again = false;
    return 1;
}

// The stored address is read at the first attempt and kept: after a failed attempt the flash
// that held it is erased, and only bt_address still has it. It is read again after the
// failure box, where another unit may have been plugged in.
int program_attempt(update_run& run)
{
    if (!enter_boot_mode())
        return 0;
    if ((!run.address_kept || run.read_again) && !take_stored_address(run))
        return 0;
    return program_flash();
}

// One cycle: discovery, the confirmation (first cycle only), then attempts until one succeeds
// or the failures reach the limit.
cycle_end run_cycle(update_run& run)
{
    if (!find_device() || !reopen_port()) {
        run.failures++;
        return CYCLE_FAILED;
    }
    query_fw_version();
    if (run.failures == 0 && !operator_confirms())
        return CYCLE_STOPPED;
    printf("\n Start the programming: \n");
    while (!program_attempt(run)) {
        close_port();
        if (++run.failures >= FAILURE_LIMIT)
            return CYCLE_FAILED;
        reopen_port();
        pause_ms(ATTEMPT_PAUSE_MS);
    }
    return CYCLE_PROGRAMMED;
}

// True when the operator asks for a new cycle.
bool failure_box_retry()
{
    printf("\n*********************************************************\n");
    printf("*          WARMING !!! FAILED !!!                       *\n");
    printf("* Please remove the device then plug-in and try again.  *\n");
    printf("* Press 'y' after plugin the device.                    *\n");
    printf("* Or Press ENTER or RETURN Key to EXIT the program.     *\n");
    printf("*********************************************************\n");
    return read_key() == YES_KEY;
}

void finish_success()
{
    printf(" Reboot MCU \n");
    restart_device();
    close_port();
    printf("\n************************************************\n");
    printf("*            Success                           *\n");
    printf("* Press ENTER or RETURN to EXIT the program.   *\n");
    printf("************************************************\n");
    read_input_char();
}

}  // namespace

void firmware_update_tool()
{
    print_banner();
    update_run run;
    for (;;) {
        cycle_end end = run_cycle(run);
        if (end == CYCLE_PROGRAMMED) {
            finish_success();
            return;
        }
        // The port is free while the operator decides and after the tool: a replugged unit,
        // or another program, can have it.
        close_port();
        if (end == CYCLE_STOPPED || !failure_box_retry())
            break;
        run.failures = LATER_CYCLE_START;
        run.read_again = true;
    }
    printf("\n\n Program STOPPED. No upgrade is done.\n\n");
}
