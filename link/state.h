// Process-wide values of the tools. Every mutable value that outlives a call lives here,
// with its meaning; everything else in the program is a local or a read-only table.
#pragma once

#include <csignal>
#include <cstdint>
#include <cstdio>

struct os_port;  // an open serial port; only the platform layer knows what is inside

extern int32_t run_mode;                // tool to run: 0 firmware update, 1 production station, 2 trace capture
extern os_port* port_handle;            // the one open serial port, or nullptr
extern int32_t error_code;              // number of the last failed step; steps never clear it
extern int32_t last_command;            // kind of the last frame built
extern uint8_t reply_capture[100];      // captured chunk of the last replies; never cleared
extern int32_t reply_capture_count;     // bytes of reply_capture the last exchange delivered (0: none)
extern char found_port_name[20];        // port on which the unit answered, terminated
extern char fw_version[3];              // version characters reported by the running firmware
extern int32_t new_flash_layout;        // -1 version not read yet; 0 old flash layout; 1 new layout
extern uint8_t bt_address[6];           // LAP low, LAP middle, LAP high, UAP, NAP low, NAP high
extern int32_t lap_counter;             // the LAP of bt_address as a number
extern int32_t erase_step;              // erase step being sent, 0 to 29
extern int32_t sector_index;            // image sector being written
extern uint32_t flash_read_address;     // flash address of the read commands
extern int32_t bt_address_loaded;       // the stored address was read back in this run
extern int32_t device_params[4];        // parameter block read back from the unit
extern FILE* info_file;                 // the trace file or the address file
extern volatile std::sig_atomic_t unit_trace_on;  // the unit may be sending its trace: "/q" ends it

// Puts every value back to its value at program start (closes info_file and the port first).
void reset_state();
