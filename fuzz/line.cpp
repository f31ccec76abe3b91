#include "fuzz/line.h"

#include <algorithm>
#include <cstring>
#include <string>

#include "link/os_port.h"

struct os_port {
    int unused;
};

namespace {

constexpr uint8_t FAILED_READ = 0xFF;

const uint8_t* script_at = nullptr;
const uint8_t* script_end = nullptr;
std::vector<uint8_t> written;
std::vector<uint8_t> since_write;

}  // namespace

void line_load(const uint8_t* script, size_t size)
{
    script_at = script;
    script_end = script + size;
    written.clear();
    since_write.clear();
}

const std::vector<uint8_t>& line_written() { return written; }
const std::vector<uint8_t>& line_read_since_write() { return since_write; }

os_port* os_port_open(const char*) { return new os_port{0}; }
bool os_port_read_state(os_port* port) { return port != nullptr; }
bool os_port_apply_state(os_port* port, uint32_t) { return port != nullptr; }
bool os_port_set_timeouts(os_port* port) { return port != nullptr; }
bool os_port_set_mask(os_port* port) { return port != nullptr; }

long os_port_read(os_port* port, void* buffer, size_t n)
{
    if (!port)
        return -1;
    if (script_at == script_end)
        return 0;
    uint8_t length = *script_at++;
    if (length == FAILED_READ)
        return -1;
    size_t count = std::min({size_t(length), n, size_t(script_end - script_at)});
    memcpy(buffer, script_at, count);
    script_at += count;  // the script goes on right after the bytes taken
    since_write.insert(since_write.end(), script_at - count, script_at);
    return static_cast<long>(count);
}

long os_port_write(os_port* port, const void* buffer, size_t n)
{
    if (!port)
        return -1;
    auto* bytes = static_cast<const uint8_t*>(buffer);
    written.insert(written.end(), bytes, bytes + n);
    since_write.clear();
    return static_cast<long>(n);
}

void os_port_purge(os_port*) {}
void os_port_flush(os_port*) {}
void os_port_close(os_port* port) { delete port; }
void os_port_abandon(os_port*) {}

os_list_result os_list_ports(std::vector<std::string>& names, int& value_count)
{
    names.assign(1, "COM7");
    value_count = 1;
    return OS_LIST_OK;
}

void os_sleep_ms(int) {}
