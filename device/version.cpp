#include <algorithm>
#include <cstring>

#include "device/device.h"
#include "link/console_print.h"
#include "link/exchange.h"
#include "link/state.h"

namespace {

const char MARKER[] = "PR Version";
constexpr int MARKER_LENGTH = 10;
constexpr int VERSION_OFFSET = 13;  // "PR Version = " then the three characters
constexpr int LAST_START = 84;      // marker and version must lie inside the 100-byte capture

}  // namespace

int find_version_marker()
{
    // Only bytes of this reply count: what earlier replies left behind may hold another marker.
    int last = std::min(LAST_START, reply_capture_count - (VERSION_OFFSET + 3));
    for (int start = 0; start <= last; start++)
        if (memcmp(reply_capture + start, MARKER, MARKER_LENGTH) == 0)
            return start;
    return -1;
}

int query_fw_version()
{
    memset(fw_version, '0', sizeof fw_version);
    if (!run_command(CMD_GET_VERSION))
        return 0;
    int start = find_version_marker();
    if (start < 0)
        return 0;
    memcpy(fw_version, reply_capture + start + VERSION_OFFSET, sizeof fw_version);
    console_print(" Current Device Firmware Version = %c%c%c\n", fw_version[0], fw_version[1], fw_version[2]);
    new_flash_layout = static_cast<signed char>(fw_version[0]) > '2' ? 1 : 0;
    return 1;
}
