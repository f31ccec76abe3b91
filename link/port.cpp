#include "link/port.h"

#include <cstring>

#include "link/console_print.h"
#include "link/frames.h"
#include "link/os_port.h"
#include "link/state.h"

int open_port(const char* name)
{
    if (port_handle) {
        console_print(" Port is opened\n");
        return 1;
    }
    // A longer name does not fit the device path; refusing it beats opening a cut name.
    if (strlen(name) <= PORT_NAME_MAX)
        port_handle = os_port_open(name);
    if (!port_handle) {
        error_code = 1;
        return 0;
    }
    return 1;
}

int configure_port(uint32_t baud)
{
    if (!port_handle)
        return 0;
    if (!os_port_read_state(port_handle))
        console_print("\n    Error! in GetCommState()");
    if (!os_port_apply_state(port_handle, baud))
        console_print("\n    Error! in Setting DCB Structure");
    if (!os_port_set_timeouts(port_handle)) {
        console_print("\n\n    Error! in Setting Time Outs");
        error_code = 2;
        return 0;
    }
    return 1;
}

int port_can_run_at(uint32_t baud)
{
    if (!port_handle || !os_port_read_state(port_handle))
        return 0;
    int runs = os_port_apply_state(port_handle, baud);
    os_port_apply_state(port_handle, BAUD_DEFAULT);
    return runs;
}

int set_port_mask()
{
    if (!port_handle)
        return 0;
    if (!os_port_set_mask(port_handle)) {
        console_print("\n\n    Error! in Setting CommMask");
        error_code = 3;
        return 0;
    }
    return 1;
}

void close_port()
{
    // No moment where port_handle names a port already freed: a signal may come at any time.
    os_port* port = port_handle;
    port_handle = nullptr;
    os_port_purge(port);
    os_port_flush(port);
    os_port_close(port);
}
