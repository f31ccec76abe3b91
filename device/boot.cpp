#include "device/device.h"
#include "link/console_print.h"
#include "link/exchange.h"
#include "link/port.h"
#include "link/state.h"

namespace {

int fail(int code)
{
    error_code = code;
    return 0;
}

// A unit that does not answer the probe is restarted once and asked again.
int probe_with_restart()
{
    if (run_command(CMD_PROBE))
        return 1;
    restart_device();
    configure_port(BAUD_DEFAULT);
    return run_command(CMD_PROBE);
}

// A unit that does not answer the handshake is hammered with the handshake and the boot
// pattern, as its loader listens for them while it starts, then asked once more.
int handshake_with_recovery()
{
    if (run_command(CMD_HANDSHAKE))
        return 1;
    run_command(CMD_HANDSHAKE_BURST_LONG);
    run_command(CMD_BOOT_PATTERN);
    run_command(CMD_HANDSHAKE_BURST_SHORT);
    return run_command(CMD_HANDSHAKE);
}

}  // namespace

int enter_boot_mode()
{
    if (!probe_with_restart()) {
        console_print(" Fail to enter boot mode\n");
        return fail(7);
    }
    if (!handshake_with_recovery())
        return fail(8);
    if (!run_command(CMD_SET_BAUD_1M))
        return fail(9);
    if (!configure_port(BAUD_LOADER))
        return fail(10);
    return 1;
}
