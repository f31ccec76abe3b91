// Serial ports on Windows: a COM port opened as a blocking file handle, its line state in a
// DCB, the read and write time-outs of os_port.h as COMMTIMEOUTS, and the port list from the
// registry's serial-port map.
#include "link/os_port.h"
#include "link/port_names.h"

#include <windows.h>

#include <algorithm>
#include <climits>
#include <cstring>

struct os_port {
    HANDLE handle;
    DCB state;  // the state fetched by os_port_read_state
};

namespace {

// In milliseconds: a read of n bytes ends after a 1 ms quiet gap or n + 1 ms in all; a write
// of n bytes gives up after 3 * n + 3 ms.
constexpr COMMTIMEOUTS PORT_TIMEOUTS = {
    1,  // ReadIntervalTimeout
    1,  // ReadTotalTimeoutMultiplier
    1,  // ReadTotalTimeoutConstant
    3,  // WriteTotalTimeoutMultiplier
    3,  // WriteTotalTimeoutConstant
};

constexpr DWORD PURGE_ALL = PURGE_TXABORT | PURGE_RXABORT | PURGE_TXCLEAR | PURGE_RXCLEAR;

const char SERIAL_PORT_KEY[] = "HARDWARE\\DEVICEMAP\\SERIALCOMM";
constexpr DWORD VALUE_NAME_SIZE = 255;
constexpr DWORD VALUE_DATA_SIZE = 255;

// One transfer's byte count, small enough for both a DWORD and the long that reports it.
DWORD transfer_size(size_t n)
{
    return static_cast<DWORD>(std::min<size_t>(n, LONG_MAX));
}

}  // namespace

os_port* os_port_open_checked(const char* name, os_open_failure& why, std::string& reason)
{
    // Ports above COM9 only open through the device namespace; short names stay as they are.
    std::string path = strlen(name) >= 4 ? std::string("\\\\.\\") + name : name;
    HANDLE handle = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        DWORD error = GetLastError();
        // A port in use answers "access denied"; one whose adapter is unplugged is not found.
        why = error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND || error == ERROR_DEV_NOT_EXIST
                  ? OS_OPEN_GONE
                  : OS_OPEN_REFUSED;
        reason = error == ERROR_ACCESS_DENIED ? "in use or access denied" : "system error " + std::to_string(error);
        return nullptr;
    }
    return new os_port{handle, {}};
}

os_port* os_port_open(const char* name)
{
    os_open_failure why;
    std::string reason;
    return os_port_open_checked(name, why, reason);
}

bool os_port_read_state(os_port* port)
{
    if (!port)
        return false;
    // A failed read leaves the zeroed state, which os_port_apply_state then builds on.
    port->state = DCB{};
    port->state.DCBlength = sizeof(DCB);
    return GetCommState(port->handle, &port->state);
}

bool os_port_apply_state(os_port* port, uint32_t baud)
{
    if (!port)
        return false;
    DCB& state = port->state;
    state.BaudRate = baud;
    state.ByteSize = 8;
    state.StopBits = ONESTOPBIT;
    state.Parity = NOPARITY;
    // The protocol is binary: a port left with XON/XOFF on by another program would eat reply
    // bytes 0x11 and 0x13, and error or null replacement would change or drop others.
    state.fBinary = TRUE;
    state.fOutX = FALSE;
    state.fInX = FALSE;
    state.fErrorChar = FALSE;
    state.fNull = FALSE;
    return SetCommState(port->handle, &state);
}

bool os_port_set_timeouts(os_port* port)
{
    COMMTIMEOUTS timeouts = PORT_TIMEOUTS;
    return port && SetCommTimeouts(port->handle, &timeouts);
}

bool os_port_set_mask(os_port* port)
{
    return port && SetCommMask(port->handle, EV_RXCHAR);
}

long os_port_read(os_port* port, void* buffer, size_t n)
{
    DWORD got = 0;
    if (!port)
        return -1;
    if (!ReadFile(port->handle, buffer, transfer_size(n), &got, nullptr)) {
        Sleep(transfer_size(n) + 1);  // a port that is gone fails at once: keep the time-out
        return -1;
    }
    return static_cast<long>(got);
}

long os_port_write(os_port* port, const void* buffer, size_t n)
{
    DWORD done = 0;
    if (!port || !WriteFile(port->handle, buffer, transfer_size(n), &done, nullptr))
        return -1;
    return static_cast<long>(done);
}

void os_port_purge(os_port* port)
{
    if (port)
        PurgeComm(port->handle, PURGE_ALL);
}

void os_port_flush(os_port* port)
{
    if (port)
        FlushFileBuffers(port->handle);
}

void os_port_close(os_port* port)
{
    if (!port)
        return;
    CloseHandle(port->handle);
    delete port;
}

void os_port_abandon(os_port* port)
{
    if (port)
        CloseHandle(port->handle);
}

namespace {

// The port name held in the list value at `index`; false when the value can't be read.
bool read_port_name(HKEY key, DWORD index, std::string& name)
{
    char value_name[VALUE_NAME_SIZE];
    DWORD value_name_size = VALUE_NAME_SIZE;
    BYTE data[VALUE_DATA_SIZE];
    DWORD data_size = VALUE_DATA_SIZE;
    if (RegEnumValueA(key, index, value_name, &value_name_size, nullptr, nullptr, data,
                      &data_size) != ERROR_SUCCESS)
        return false;
    // Registry strings need not be terminated: take the data up to its end or first zero.
    const char* text = reinterpret_cast<const char*>(data);
    name.assign(text, std::find(text, text + std::min(data_size, VALUE_DATA_SIZE), '\0'));
    return true;
}

}  // namespace

os_list_result os_list_ports(std::vector<std::string>& names, int& value_count)
{
    names.clear();
    value_count = 0;
    HKEY key;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, SERIAL_PORT_KEY, 0, KEY_READ, &key) != ERROR_SUCCESS)
        return OS_LIST_NO_KEY;
    DWORD values = 0;
    os_list_result result = OS_LIST_NO_INFO;
    if (RegQueryInfoKeyA(key, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, &values,
                         nullptr, nullptr, nullptr, nullptr) == ERROR_SUCCESS) {
        value_count = static_cast<int>(values);
        std::string name;
        for (DWORD index = 0; index < values; index++) {
            if (read_port_name(key, index, name))
                names.push_back(name);
        }
        result = OS_LIST_OK;
    }
    RegCloseKey(key);
    return result;
}

// A COM number already follows its adapter (Windows keeps it per adapter and serial number),
// so a port's name is its stable name; what the adapter is, Device Manager shows.
std::string current_port_name(const std::string& name)
{
    return name;
}

std::vector<std::string> stable_port_names(const std::string&)
{
    return {};
}

port_facts facts_of_port(const std::string&)
{
    return {};
}

void os_sleep_ms(int ms)
{
    Sleep(static_cast<DWORD>(std::max(ms, 0)));
}
