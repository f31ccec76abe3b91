// The production station: a one-key menu that programs unit after unit, each with the next
// Bluetooth address of the address file, and reads back a unit's address, parameter block and
// firmware version. Every command that talks to the unit finds it, opens its port, does its
// work and closes the port again.
//
// No address is handed out twice: the station holds the address file's lock for its whole
// run, and saves the address after the one it programs before it programs it.
#include "tools/station.h"

#include <chrono>
#include <cstdio>
#include <cstring>

#include "device/device.h"
#include "image/image.h"
#include "link/discovery.h"
#include "link/pause.h"
#include "link/port.h"
#include "link/state.h"
#include "tools/address_file.h"
#include "tools/console.h"
#include "tools/file_os.h"
#include "tools/production_record.h"
#include "tools/tools.h"

namespace {

constexpr int SPEED_CHANGE_REFUSED = 9;  // error_code of a boot mode entry whose speed change failed

const char RULE[] = "======================================================\n";
const char QUERY_RULE[] = "\n ************************ \n";
const char BOX_RULE[] = "\n************************************************\n";
const char TRY_AGAIN[] = " \n WARMING !!! Error !!!. Please try again.\n";
const char DONE[] = " Done \n>";

int find_and_open_unit()
{
    return find_device() && reopen_port();
}

// Boot mode entry and programming; on success the unit is restarted into its new firmware.
int program_attempt()
{
    if (!enter_boot_mode() || !program_flash())
        return 0;
    printf(" Reboot MCU \n");
    restart_device();
    return 1;
}

// The unit's line in the production record beside the address file, on the disk before the
// result box shows it.
void record_unit(int success, int attempts, double seconds)
{
    production_entry entry = {found_port_name, {}, success != 0, success ? 0 : error_code, attempts, seconds};
    memcpy(entry.address, bt_address, sizeof entry.address);
    const std::string record = record_beside(ADDRESS_FILE);
    if (!append_record(record, entry))
        printf(" \n\n !!!! Error to write to %s !!!!!%s\n\n", record.c_str(),
               os_file_is_link(record.c_str()) ? " (a symbolic link: refused)" : "");
}

void print_result_box(int success)
{
    printf("%s", BOX_RULE);
    printf(success ? "*            Success                           *\n"
                   : "*    WARMING !!!! Failed !!!!!                 *\n");
    printf("* Press ENTER or RETURN to go back.            *\n");
    printf("************************************************\n");
}

// 'p': the unit receives bt_address, reserved in the file first; the address advances only
// after a success, and a failure gives the reservation back.
void program_command()
{
    clear_console();
    printf("\n Start programming device\n");
    int success = reserve_address();
    if (success) {
        error_code = 0;
        int attempts = 0;
        const auto start = std::chrono::steady_clock::now();
        success = program_unit(&attempts);
        close_port();
        record_unit(success, attempts, std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
        if (success)
            advance_address();
        else
            release_address();
    }
    print_result_box(success);
    read_key();
    clear_console();
}

// 'a': a unit whose loader refused the speed change gets one more try.
void address_command()
{
    printf("%s\n Get current devcie BT address\n", QUERY_RULE);
    error_code = 0;
    int success = read_unit_address();
    close_port();
    if (error_code == SPEED_CHANGE_REFUSED) {
        printf("\n retry \n");
        success = read_unit_address();
        close_port();
    }
    if (!success)
        printf("%s", TRY_AGAIN);
    printf("%s", DONE);
}

void version_command()
{
    printf("%s\n Get current devcie Firmware version\n", QUERY_RULE);
    error_code = 0;
    int success = read_unit_version();
    close_port();
    if (!success)
        printf("\n No firmware version detected. \n");
    printf("%s", DONE);
}

void params_command()
{
    printf("\n Check Params\n");
    if (!read_unit_params())
        printf("%s", TRY_AGAIN);
    close_port();
}

}  // namespace

void draw_menu()
{
    printf("%s", RULE);
    printf("  Pelmo4Rix Production Software. Version %s \n", image_version);
    printf("%s", RULE);
    printf("\n\n");
    printf(" BT     NAP UAP LAP = %02X%02X %02X %02X%02X%02X\n", bt_address[5], bt_address[4], bt_address[3],
           bt_address[2], bt_address[1], bt_address[0]);
    printf("\n Commands:\n");
    printf("\t p: program device\n");
    printf("\t a: get current device BT address\n");
    printf("\t v: get current device Firmware Version\n");
    printf("\t r: refresh screen\n");
    printf("\t q: exit program\n>");
}

int program_unit(int* attempts)
{
    for (int attempt = 1;; attempt++) {
        if (attempts)
            *attempts = attempt;
        if (!find_and_open_unit())
            return 0;
        if (program_attempt())
            return 1;
        close_port();
        if (attempt == PROGRAM_ATTEMPTS)
            return 0;
        pause_ms(ATTEMPT_PAUSE_MS);
    }
}

int read_unit_address()
{
    return find_and_open_unit() && query_fw_version() && enter_boot_mode() && read_bt_address(0);
}

int read_unit_version()
{
    return find_and_open_unit() && query_fw_version();
}

int read_unit_params()
{
    return find_and_open_unit() && query_fw_version() && enter_boot_mode() && read_params();
}

station_step run_station_key(int key)
{
    switch (key) {
    case 'p':
        program_command();
        return STEP_REDRAW;
    case 'a':
        address_command();
        return STEP_NEXT_KEY;
    case 'v':
        version_command();
        return STEP_NEXT_KEY;
    case 'z':
        params_command();
        return STEP_NEXT_KEY;
    case 'n':
        advance_address();
        return STEP_NEXT_KEY;
    case 'q':
        printf("\n Exit the program\n");
        return STEP_EXIT;
    default:
        clear_console();
        return STEP_REDRAW;
    }
}

void production_station()
{
    os_file_lock* lock = lock_address_file();
    if (!lock)
        return;
    if (load_address_file()) {
        for (station_step step = STEP_REDRAW; step != STEP_EXIT;) {
            if (step == STEP_REDRAW)
                draw_menu();
            step = run_station_key(read_key());
        }
    }
    unlock_address_file(lock);
}
