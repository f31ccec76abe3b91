#include "tools/tools.h"

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
