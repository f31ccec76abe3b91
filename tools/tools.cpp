#include "tools/tools.h"

#include "link/frames.h"
#include "link/os_port.h"
#include "link/state.h"

void run_tool()
{
    switch (run_mode) {
    case 1:
        production_station();
        break;
    case 2:
        trace_capture_tool();
        break;
    default:
        firmware_update_tool();
        break;
    }
}

void release_at_interrupt()
{
    if (unit_trace_on)
        send_command(CMD_QUIT);
    os_port_abandon(port_handle);
}
