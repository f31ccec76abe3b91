#include "link/discovery.h"

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "device/device.h"
#include "link/console_print.h"
#include "link/exchange.h"
#include "link/os_port.h"
#include "link/port.h"
#include "link/state.h"

namespace {

bool found(const char* name)
{
    memcpy(found_port_name, name, strlen(name) + 1);  // the terminator too: no tail of a longer name stays
    console_print("\t Found device on %s\n", found_port_name);
    return true;
}

enum list_outcome { LIST_FOUND, LIST_EMPTY, LIST_SCAN };

list_outcome search_listed_ports()
{
    std::vector<std::string> names;
    int value_count = 0;
    switch (os_list_ports(names, value_count)) {
    case OS_LIST_NO_KEY:
        console_print(" Can't find comm port registry key\n");
        return LIST_SCAN;
    case OS_LIST_NO_INFO:
        console_print(" Can't query comm port information\n");
        return LIST_SCAN;
    case OS_LIST_OK:
        break;
    }
    if (value_count == 0) {
        console_print("\tNo COM port available, Device may not attached.\n");
        return LIST_EMPTY;
    }
    for (const std::string& name : names) {
        if (name.empty() || name.size() > PORT_NAME_MAX)
            continue;  // can't be opened, nor kept in found_port_name
        if (probe_port(name.c_str()) && found(name.c_str()))
            return LIST_FOUND;
    }
    console_print(" \n\n Can't find device. COM port may be used by other application or device.\n\n");
    return LIST_SCAN;
}

bool scan_numbered_ports()
{
    console_print(" Scan all possible COM ports ......");
    console_flush();  // shown before the probes, which may take a while
    for (int n = SCAN_FIRST; n <= SCAN_LAST; n++) {
        char name[8];
        snprintf(name, sizeof name, "COM%d", n);
        if (probe_port(name))
            return found(name);
    }
    console_print(" Scan all the COM ports and can't find the device.\n");
    return false;
}

}  // namespace

int probe_port(const char* name)
{
    return open_port(name) ? probe_open_port() : 0;
}

int probe_open_port()
{
    if (!configure_port(BAUD_DEFAULT) || !set_port_mask()) {
        close_port();
        return 0;
    }
    int answered = run_command(CMD_PROBE);
    if (!answered) {
        restart_device();
        configure_port(BAUD_DEFAULT);
        answered = run_command(CMD_PROBE);
    }
    close_port();
    return answered;
}

int find_device()
{
    console_print("\n Search Device ...\n");
    switch (search_listed_ports()) {
    case LIST_FOUND: return 1;
    case LIST_EMPTY: return 0;
    case LIST_SCAN: break;
    }
    return scan_numbered_ports() ? 1 : 0;
}

int reopen_port()
{
    return open_port(found_port_name) && configure_port(BAUD_DEFAULT) && set_port_mask() ? 1 : 0;
}
