#include "device/device.h"
#include "link/exchange.h"
#include "link/port.h"
#include "link/state.h"

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

namespace {

constexpr int RESTART_1_REPLY = 15;  // the loader's whole answer to the first of the pair

// The restart pair at `baud`; true when the first of it was answered whole: the unit heard the
// pair there and restarts.
bool restart_pair_at(uint32_t baud)
{
    configure_port(baud);
    bool heard = run_command(CMD_RESTART_1) && reply_capture_count == RESTART_1_REPLY;
    run_command(CMD_RESTART_2);
    return heard;
}

}  // namespace

// Each pair the unit does not hear costs its exchanges' read tries (about 0.45 s): the rate
// where it most likely listens goes first, and the first pair it answers ends the sequence.
void restart_device_at(uint32_t baud, bool raised_first)
{
    if (baud <= BAUD_LOADER) {
        restart_device();
        return;
    }
    const uint32_t order[] = {raised_first ? baud : BAUD_LOADER, raised_first ? BAUD_LOADER : baud, BAUD_DEFAULT};
    for (uint32_t rate : order)
        if (restart_pair_at(rate))
            break;
    configure_port(BAUD_DEFAULT);
}
