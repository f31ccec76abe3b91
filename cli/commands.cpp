// The commands that ask the unit or the image something: ports, version, address, params, image.
#include <cctype>
#include <cstdio>
#include <cstring>

#include "cli/cli.h"
#include "cli/os.h"
#include "device/device.h"
#include "image/image.h"
#include "image/package.h"
#include "link/discovery.h"
#include "link/os_port.h"
#include "link/port.h"
#include "link/port_names.h"
#include "link/state.h"
#include "tools/production_record.h"

namespace {

// Characters from the unit shown as they are when printable, else as '?'.
std::string printable(const char* chars, size_t n)
{
    std::string text(chars, n);
    for (char& c : text)
        if (!isprint(static_cast<unsigned char>(c)))
            c = '?';
    return text;
}

std::string hex_bytes(const uint8_t* bytes, int n)
{
    std::string text;
    char two[4];
    for (int i = 0; i < n; i++) {
        snprintf(two, sizeof two, i ? " %02x" : "%02x", bytes[i]);
        text += two;
    }
    return text;
}

void add_firmware(result& r)
{
    add_text(r, "port", found_port_name);
    add_text(r, "firmware", printable(fw_version, sizeof fw_version));
    add_text(r, "flash_layout", new_flash_layout ? "new" : "old");
}

// Opens the unit, asks its version (the read-backs need the layout) and brings it into its
// loader; the exit code of the failure otherwise, with the port closed.
int enter_loader(const cli_options& options)
{
    int code = open_unit(options);
    if (code != EXIT_OK)
        return code;
    error_code = 0;
    if (!query_fw_version()) {
        close_port();
        return fail_step(options, EXIT_NO_VERSION, "the unit did not report its firmware version");
    }
    error_code = 0;
    if (!enter_boot_mode()) {
        close_port();
        return fail_step(options, EXIT_NO_UNIT, failure_text(error_code));
    }
    return EXIT_OK;
}

// Back to the running firmware after a read-back, so that the next command finds it as usual.
void leave_loader()
{
    restart_device();
    close_port();
}

struct port_entry {
    std::string name;
    bool listed;
    bool opened = false;
    bool answers = false;
    port_facts facts = {};
};

bool port_exists(const std::string& name)
{
    if (!open_port(name.c_str()))
        return false;
    close_port();
    return true;
}

// The system's list first, then every numbered port that opens.
std::vector<port_entry> ports_to_try(const cli_options& options)
{
    std::vector<port_entry> entries;
    if (!options.port.empty())
        return {{options.port, false}};
    std::vector<std::string> names;
    int value_count = 0;
    os_list_ports(names, value_count);
    for (const std::string& name : names)
        if (!name.empty())
            entries.push_back({name, true});
    for (int n = SCAN_FIRST; n <= SCAN_LAST && !stop_signal(); n++) {
        std::string name = "COM" + std::to_string(n);
        bool listed = false;
        for (const std::string& l : names)
            listed = listed || l == name;
        if (!listed && port_exists(name))
            entries.push_back({name, false});
    }
    return entries;
}

std::string json_or_null(const std::string& text) { return text.empty() ? "null" : json_string(text); }

std::string json_names(const std::vector<std::string>& names)
{
    std::string json = "[";
    for (const std::string& name : names)
        json += (json.size() > 1 ? "," : "") + json_string(name);
    return json + "]";
}

// What the system tells of the port as JSON fields, and as text for a person: its stable
// names, the adapter, its latency timer, and a hint when the timer makes every exchange wait.
std::string facts_json(const port_facts& a)
{
    return ",\"by_path\":" + json_names(a.by_path) + ",\"by_id\":" + json_names(a.by_id) +
           ",\"driver\":" + json_or_null(a.driver) + ",\"usb\":" + json_or_null(a.usb_id) +
           ",\"serial\":" + json_or_null(a.serial) + ",\"product\":" + json_or_null(a.product) +
           ",\"latency_timer_ms\":" + (a.latency_timer_ms < 0 ? "null" : std::to_string(a.latency_timer_ms));
}

std::string facts_text(const port_facts& a, const std::string& name)
{
    std::string text = a.driver.empty() ? "" : "  " + a.driver;
    if (!a.usb_id.empty())
        text += " (USB " + a.usb_id + (a.serial.empty() ? "" : ", serial " + a.serial) + ")";
    if (!a.product.empty())
        text += " " + a.product;
    for (const std::string& place : a.by_path)
        if (place != name)
            text += "  " + place;
    if (a.latency_timer_ms >= 0)
        text += "  latency timer " + std::to_string(a.latency_timer_ms) + " ms";
    if (a.latency_timer_ms > LATENCY_HINT_MS)
        text += ": programming waits that long for every reply; set it to 1 ms";
    return text;
}

void add_ports(result& r, const std::vector<port_entry>& entries)
{
    std::string json = "[", text;
    for (const port_entry& e : entries) {
        if (json.size() > 1)
            json += ",";
        json += "{\"name\":" + json_string(e.name) + ",\"listed\":" + (e.listed ? "true" : "false") +
                ",\"open\":" + (e.opened ? "true" : "false") + ",\"unit\":" + (e.answers ? "true" : "false") +
                facts_json(e.facts) + "}";
        char line[80];
        snprintf(line, sizeof line, "%-15s  %-7s  %s", e.name.c_str(), e.listed ? "listed" : "scanned",
                 !e.opened ? "can't be opened" : e.answers ? "unit answers" : "no answer");
        text += line + facts_text(e.facts, e.name) + "\n";
    }
    add_json(r, "ports", json + "]", text.empty() ? "no serial ports found\n" : text);
}

}  // namespace

int open_unit(const cli_options& options)
{
    error_code = 0;
    const std::string port = current_port_name(options.port);  // a stable name: the port it leads to now
    int found = options.port.empty() ? find_device() : probe_port(port.c_str());
    if (!found) {
        error_code = 0;  // discovery has no code of its own; the last probe's says nothing
        return fail_step(options, EXIT_NO_UNIT,
                         options.port.empty() ? "no unit found" : "no unit answers on " + options.port);
    }
    if (!options.port.empty())
        memcpy(found_port_name, port.c_str(), port.size() + 1);  // it opened: at most PORT_NAME_MAX
    error_code = 0;
    if (!reopen_port())
        return fail_step(options, EXIT_NO_UNIT, std::string("can't open ") + found_port_name);
    return EXIT_OK;
}

int command_ports(const cli_options& options)
{
    std::vector<port_entry> entries = ports_to_try(options);
    for (port_entry& e : entries) {
        if (stop_signal())
            return fail_step(options, EXIT_NO_UNIT, "stopped");
        const std::string port = current_port_name(e.name);
        e.opened = port_exists(port);
        e.answers = e.opened && probe_port(port.c_str());
        e.facts = facts_of_port(e.name);
    }
    result r;
    add_ports(r, entries);
    print_result(options, r);
    return EXIT_OK;
}

int command_version(const cli_options& options)
{
    int code = open_unit(options);
    if (code != EXIT_OK)
        return code;
    error_code = 0;
    int ok = query_fw_version();
    close_port();
    if (!ok)
        return fail_step(options, EXIT_NO_VERSION, "the unit did not report its firmware version");
    result r;
    add_firmware(r);
    print_result(options, r);
    return EXIT_OK;
}

int command_address(const cli_options& options)
{
    int code = enter_loader(options);
    if (code != EXIT_OK)
        return code;
    error_code = 0;
    int ok = read_bt_address(0);
    uint8_t address[6];
    bool stored = ok && stored_address(address);
    leave_loader();
    if (!ok)
        return fail_step(options, EXIT_READ_BACK, "the unit's information sector could not be read");
    result r;
    add_firmware(r);
    add_flag(r, "stored", stored);
    if (stored)
        add_text(r, "address", address_text(address));
    else
        add_null(r, "address", "none");
    print_result(options, r);
    return EXIT_OK;
}

int command_params(const cli_options& options)
{
    int code = enter_loader(options);
    if (code != EXIT_OK)
        return code;
    error_code = 0;
    int ok = read_params();
    bool stored = ok && stored_params_found();
    leave_loader();
    if (!ok)
        return fail_step(options, EXIT_READ_BACK, "the unit's parameter sector could not be read");
    result r;
    add_firmware(r);
    add_flag(r, "stored", stored);
    if (stored) {
        std::string json = "[", text;
        uint8_t bytes[16];
        for (int word = 0; word < 4; word++) {
            uint32_t value = static_cast<uint32_t>(device_params[word]);
            for (int i = 0; i < 4; i++)
                bytes[4 * word + i] = static_cast<uint8_t>(value >> (8 * i));
            char hex[16];
            snprintf(hex, sizeof hex, word ? " 0x%08x" : "0x%08x", static_cast<unsigned>(value));
            text += hex;
            json += (word ? "," : "") + std::to_string(value);
        }
        add_json(r, "words", json + "]", text);
        add_text(r, "bytes", hex_bytes(bytes, 16));
    } else {
        add_null(r, "words", "none");
    }
    print_result(options, r);
    return EXIT_OK;
}

int command_image(const cli_options& options)
{
    const bool file = !options.image_file.empty();
    result r;
    add_text(r, "image", file ? options.image_file : "built-in");
    image_facts facts;
    std::string why;
    const bool accepted =
        !file || load_image(options.image_file, {options.trust, options.allow_unsigned, options.min_version}, facts, why);
    warn_skipped_keys(options, facts.keys);
    if (file && facts.size >= 0)
        add_text(r, "kind", facts.package ? "package" : "raw");
    const bool manifest = facts.package && !facts.manifest.version.empty();
    if (facts.size >= 0 || !file)
        add_number(r, "size", !file ? IMAGE_SIZE : manifest ? facts.manifest.size : facts.size);
    if (manifest) {
        add_text(r, "version", facts.manifest.version);
        add_text(r, "key", facts.manifest.key_id);
        add_trusted_keys(r, facts.keys);
    } else if (!file) {
        add_text(r, "version", image_version);
    } else if (facts.size >= 0) {
        add_null(r, "version", "unknown (a raw image file does not record it)");
    }
    if (accepted)
        add_text(r, "checksum", checksum_text());
    add_flag(r, "accepted", accepted);
    if (!accepted)
        return report_refusal(options, EXIT_IMAGE_FILE, why, r);
    print_result(options, r);
    return EXIT_OK;
}
