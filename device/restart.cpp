#include "device/device.h"
#include "link/exchange.h"
#include "link/port.h"

// The restart pair goes out at both speeds, the loader's first: the unit may be at either.
// Every step runs whatever the steps before it did.
void restart_device()
{
    configure_port(BAUD_LOADER);
    run_command(CMD_RESTART_1);
    run_command(CMD_RESTART_2);
    configure_port(BAUD_DEFAULT);
    run_command(CMD_RESTART_1);
    run_command(CMD_RESTART_2);
}

void restart_device_at(uint32_t baud)
{
    if (baud != BAUD_LOADER && baud != BAUD_DEFAULT) {
        configure_port(baud);
        run_command(CMD_RESTART_1);
        run_command(CMD_RESTART_2);
    }
    restart_device();
}
