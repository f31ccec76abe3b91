#include "link/state.h"

#include <cstring>

#include "link/port.h"

int32_t run_mode;
os_port* port_handle;
int32_t error_code;
int32_t last_command;
uint8_t reply_capture[100];
int32_t reply_capture_count;
char found_port_name[20];
char fw_version[3];
int32_t new_flash_layout = -1;
uint8_t bt_address[6] = {0x00, 0x01, 0x00, 0x03, 0x04, 0x06};
int32_t lap_counter = 256;
int32_t erase_step;
int32_t sector_index;
uint32_t flash_read_address;
int32_t bt_address_loaded;
int32_t device_params[4];
FILE* info_file;
volatile std::sig_atomic_t unit_trace_on;

void reset_state()
{
    static const uint8_t default_address[6] = {0x00, 0x01, 0x00, 0x03, 0x04, 0x06};
    close_port();
    if (info_file)
        fclose(info_file);
    info_file = nullptr;
    unit_trace_on = 0;
    run_mode = 0;
    error_code = 0;
    last_command = 0;
    memset(reply_capture, 0, sizeof reply_capture);
    reply_capture_count = 0;
    memset(found_port_name, 0, sizeof found_port_name);
    memset(fw_version, 0, sizeof fw_version);
    new_flash_layout = -1;
    memcpy(bt_address, default_address, sizeof bt_address);
    lap_counter = 256;
    erase_step = 0;
    sector_index = 0;
    flash_read_address = 0;
    bt_address_loaded = 0;
    memset(device_params, 0, sizeof device_params);
}
