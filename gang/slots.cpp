// Slots and the units on them: a look at a port that tells an unplug from a refused open,
// the first read of a unit that appears, and the descriptors kept for the slots.
#include "gang/slots.h"

#include <algorithm>
#include <cstring>

#include "device/device.h"
#include "device/program_steps.h"
#include "line/page.h"
#include "link/discovery.h"
#include "link/os_port.h"
#include "link/port.h"
#include "link/state.h"

namespace {

// The unit's stored address, and the plan's checksum when the address is the slot's own.
// A step that fails leaves the look unread: the unit is then programmed as any new one.
void read_unit_holdings(const slot_memory& memory, slot_look& look)
{
    if (!reopen_port())
        return;
    if (query_fw_version() && enter_boot_mode() && read_bt_address(0)) {
        look.read = true;
        look.holds_address = stored_address(look.stored) != 0;
        if (look.holds_address && memory.has_good && memcmp(look.stored, memory.last_good, sizeof look.stored) == 0)
            look.image_matches = verify_flash() != 0;
        restart_device();
    }
    close_port();
}

}  // namespace

void look_at_slot(const std::string& port, bool read_unit, const slot_memory& memory, slot_look& look)
{
    look = slot_look{};
    os_open_failure why;
    std::string reason;
    port_handle = os_port_open_checked(port.c_str(), why, reason);
    if (!port_handle) {
        look.finding = why == OS_OPEN_GONE ? SLOT_GONE : SLOT_FAULT;
        if (look.finding == SLOT_FAULT)
            look.fault = reason;
        return;
    }
    if (!probe_open_port())
        return;
    look.finding = SLOT_UNIT;
    if (read_unit && port.size() <= PORT_NAME_MAX) {
        memcpy(found_port_name, port.c_str(), port.size() + 1);
        read_unit_holdings(memory, look);
    }
}

bool same_unit_back(const slot_memory& memory, const slot_look& look)
{
    return look.finding == SLOT_UNIT && look.read && look.holds_address && memory.has_good &&
           memcmp(look.stored, memory.last_good, sizeof memory.last_good) == 0 && look.image_matches;
}

unsigned page_connections(long limit, size_t slots)
{
    if (limit < 0)
        return PAGE_CONNECTIONS_MAX;
    const long reserve = DESCRIPTORS_OWN + DESCRIPTORS_PER_SLOT * (slots ? static_cast<long>(slots) : SLOTS_FROM_LIST);
    return static_cast<unsigned>(std::clamp(limit - reserve, 1L, static_cast<long>(PAGE_CONNECTIONS_MAX)));
}
