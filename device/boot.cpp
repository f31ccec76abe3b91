#include <cstring>

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

// The loader asked for `baud` in its speed change; the program's side follows.
int switch_speed(uint32_t baud)
{
    uint8_t frame[FRAME_MAX];
    int length = build_speed_frame(baud, frame);
    if (!run_frame(CMD_SET_BAUD_1M, frame, length))
        return fail(9);
    if (!configure_port(baud))
        return fail(10);
    return 1;
}

// One exchange at the new rate whose reply can't be mistaken: the probe's, whole and byte for
// byte. Garbled bytes, silence or a reply at the old rate are none of it.
int loader_answers()
{
    static const uint8_t probe_reply[] = {0x04, 0x0E, 0x05, 0x01, 0xE0, 0xFC, 0x01, 0x00};
    if (run_command(CMD_PROBE) && reply_capture_count == sizeof probe_reply &&
        memcmp(reply_capture, probe_reply, sizeof probe_reply) == 0)
        return 1;
    return fail(9);
}

// The probe and the handshake: the unit in its loader at 115200; else error_code 7 or 8.
int open_loader()
{
    if (!probe_with_restart()) {
        console_print(" Fail to enter boot mode\n");
        return fail(7);
    }
    if (!handshake_with_recovery())
        return fail(8);
    return 1;
}

}  // namespace

int enter_boot_mode()
{
    return open_loader() && switch_speed(BAUD_LOADER);
}

uint32_t next_lower_baud(uint32_t baud)
{
    for (uint32_t lower : STEP_DOWN_BAUDS)
        if (lower < baud)
            return lower;
    return BAUD_LOADER;
}

// A loader that refuses a rate still listens at 115200 and is asked for the next one at once;
// after any other doubt it is restarted and entered again.
int enter_boot_mode_fast(uint32_t baud, uint32_t& reached)
{
    bool listening = false;  // the loader refused the last rate asked
    for (reached = baud; reached > BAUD_LOADER; reached = next_lower_baud(reached)) {
        if (!listening && !open_loader())
            return 0;  // no unit or no loader: no rate helps
        if (switch_speed(reached) && loader_answers())
            return 1;
        const unsigned lower = next_lower_baud(reached);
        listening = speed_change_refused();
        if (listening) {
            console_print(" The loader refuses %u baud: asked for %u baud\n", static_cast<unsigned>(reached), lower);
            continue;
        }
        console_print(" No sure answer at %u baud: the unit is restarted", static_cast<unsigned>(reached));
        restart_device_at(reached, reply_capture_count > 0);  // silent at the raised rate: it likely stayed at 1,000,000
        console_print(" and asked for %u baud\n", lower);
    }
    reached = BAUD_LOADER;
    return listening ? switch_speed(BAUD_LOADER) : enter_boot_mode();
}
