// The gang's command line.
#include <cstdlib>

#include "common/text.h"
#include "gang/gang.h"
#include "image/package.h"
#include "link/port.h"
#include "link/port_names.h"

namespace {

constexpr int MAX_UNITS = 1000000;
constexpr int MAX_TIMEOUT_S = 3600;
constexpr int MAX_TCP_PORT = 65535;
constexpr char BY_PATH[] = "by-path";  // --ports by-path: every port named by its place

// The items of a comma-separated list, empty ones included.
std::vector<std::string> split_list(const std::string& text)
{
    std::vector<std::string> items;
    for (size_t start = 0;;) {
        size_t comma = text.find(',', start);
        items.push_back(text.substr(start, comma == std::string::npos ? std::string::npos : comma - start));
        if (comma == std::string::npos)
            return items;
        start = comma + 1;
    }
}

// [HOST:]PORT, an IPv6 host in brackets ([::1]:8080); the host stays the default when absent.
bool parse_http(const std::string& text, gang_options& options, std::string& error)
{
    size_t colon = text.rfind(':');
    std::string host = colon == std::string::npos ? "" : text.substr(0, colon);
    std::string port = colon == std::string::npos ? text : text.substr(colon + 1);
    bool bracketed = host.size() > 2 && host.front() == '[' && host.back() == ']';
    if (bracketed)
        host = host.substr(1, host.size() - 2);
    bool host_ok = colon == std::string::npos || (!host.empty() && (bracketed || host.find(':') == std::string::npos));
    if (!host_ok || !parse_count(port, 0, MAX_TCP_PORT, options.http_port)) {
        error = "bad address for --http: " + text + " (give PORT or HOST:PORT, e.g. 8080 or 0.0.0.0:8080)";
        return false;
    }
    if (!host.empty())
        options.http_host = host;
    options.http = true;
    return true;
}

bool parse_ports(const std::string& text, std::vector<std::string>& ports, std::string& error)
{
    const std::vector<std::string> names = text == BY_PATH ? stable_port_names(BY_PATH) : split_list(text);
    if (names.empty()) {
        error = std::string("--ports by-path: no port in the device directory's ") + STABLE_NAME_PREFIX + BY_PATH;
        return false;
    }
    for (const std::string& name : names) {
        if (!port_name_fits(name)) {
            error = "bad port name '" + name + "' in --ports: 1 to " + std::to_string(PORT_NAME_MAX) +
                    " characters, a stable name " + STABLE_NAME_PREFIX + "... or by-path alone";
            return false;
        }
        for (const std::string& seen : ports)
            if (seen == name) {
                error = "port " + name + " given twice in --ports";
                return false;
            }
        ports.push_back(name);
    }
    return true;
}

// One short label per port, each once: it names the slot on the table, the page and the record.
bool parse_labels(const std::string& text, std::vector<std::string>& labels, std::string& error)
{
    for (const std::string& label : split_list(text)) {
        if (!is_plain_name(label, SLOT_LABEL_MAX)) {
            error = "bad label '" + shown_text(label) + "' in --labels: 1 to " + std::to_string(SLOT_LABEL_MAX) + " " +
                    PLAIN_NAME_RULE;
            return false;
        }
        for (const std::string& seen : labels)
            if (seen == label) {
                error = "label " + label + " given twice in --labels";
                return false;
            }
        labels.push_back(label);
    }
    return true;
}

}  // namespace

int parse_gang_options(int argc, char** argv, gang_options& options, std::string& error)
{
    bool address_file_given = false;
    for (int i = 1; i < argc; i++) {
        std::string name = argv[i], value;
        size_t eq = name.find('=');
        bool has_inline = name.rfind("--", 0) == 0 && eq != std::string::npos;
        if (has_inline) {
            value = name.substr(eq + 1);
            name.resize(eq);
        }
        if (name == "--all" || name == "--help" || name == "-h" || name == "--only-changed" ||
            name == "--allow-unsigned" || name == "--write-blank" || name == "--keep-known-address" ||
            name == "--allow-downgrade") {
            if (has_inline) {
                error = "option " + name + " takes no value";
                return 0;
            }
            if (name == "--all")
                options.all = true;
            else if (name == "--only-changed")
                options.only_changed = options.keep_known_address = true;
            else if (name == "--keep-known-address")
                options.keep_known_address = true;
            else if (name == "--allow-unsigned")
                options.allow_unsigned = true;
            else if (name == "--allow-downgrade")
                options.allow_downgrade = true;
            else if (name == "--write-blank")
                options.write_blank = true;
            else
                options.help = true;
            continue;
        }
        bool known = name == "--ports" || name == "--address-file" || name == "--record" || name == "--image" ||
                     name == "--units" || name == "--attempts" || name == "--worker-timeout" ||
                     name == "--http" || name == "--quarantine" || name == "--pool" || name == "--station" ||
                     name == "--journal" || name == "--trust" || name == "--baud" || name == "--replay-hooks" ||
                     name == "--http-host" || name == "--labels" || name == "--min-version" || is_hook_option(name);
        if (!known) {
            error = "unknown option " + name + " for gang";
            return 0;
        }
        if (!has_inline) {
            if (i + 1 >= argc) {
                error = "option " + name + " needs a value";
                return 0;
            }
            value = argv[++i];
        }
        bool ok = true;
        if (name == "--ports")
            ok = parse_ports(value, options.ports, error);
        else if (name == "--labels")
            ok = parse_labels(value, options.labels, error);
        else if (name == "--address-file")
            options.address_file = value, address_file_given = true;
        else if (name == "--pool")
            options.pool = value;
        else if (name == "--station")
            ok = parse_station(value, options.station, error);
        else if (name == "--journal")
            options.journal = value;
        else if (name == "--record")
            options.record = value;
        else if (name == "--image")
            options.image_file = value;
        else if (name == "--trust")
            options.trust.push_back(value);
        else if (name == "--min-version")
            ok = parse_min_version(value, options.min_version, error);
        else if (name == "--units")
            ok = parse_count(value, 1, MAX_UNITS, options.units);
        else if (name == "--attempts")
            ok = parse_count(value, 1, MAX_ATTEMPTS, options.attempts);
        else if (name == "--http")
            ok = parse_http(value, options, error);
        else if (name == "--baud")
            ok = options.baud_given = parse_baud(value, options.baud, error);
        else if (name == "--http-host")
            options.http_names.push_back(value);
        else if (name == "--quarantine")
            ok = parse_count(value, 0, MAX_UNITS, options.quarantine);
        else if (name == "--replay-hooks")
            options.replay_hooks = value;
        else if (is_hook_option(name))
            ok = set_hook_option(options.hooks, name, value, error);
        else
            ok = parse_count(value, 1, MAX_TIMEOUT_S, options.worker_timeout_s);
        if (!ok) {
            if (error.empty())
                error = "bad number for " + name + ": " + value;
            return 0;
        }
        if (value.empty()) {
            error = "option " + name + " needs a value";
            return 0;
        }
    }
    if (options.all && !options.ports.empty()) {
        error = "give --ports or --all, not both";
        return 0;
    }
    if (!options.labels.empty() && options.labels.size() != options.ports.size()) {
        error = options.ports.empty() ? "--labels names the ports of --ports: give both"
                                      : "--labels gives " + count_of(options.labels.size(), "label", "labels") +
                                            " for " + count_of(options.ports.size(), "port", "ports");
        return 0;
    }
    if (!options.http_names.empty() && !options.http) {
        error = "--http-host names the page of --http: give both";
        return 0;
    }
    if (address_file_given && !options.pool.empty()) {
        error = "give --pool or --address-file, not both";
        return 0;
    }
    const char* pool = getenv(POOL_VARIABLE);
    if (!address_file_given && options.pool.empty() && pool && *pool)
        options.pool = pool;
    if (options.allow_downgrade && options.pool.empty()) {
        error = "--allow-downgrade goes with --pool: the pool's records tell which version is older";
        return 0;
    }
    return take_baud_variable(options.baud_given, options.baud, error) ? 1 : 0;
}

std::string default_slot_label(const std::string& port, const std::vector<port_row>& rows)
{
    auto taken = [&rows](const std::string& label) {
        for (const port_row& row : rows)
            if (row.label == label)
                return true;
        return false;
    };
    if (is_plain_name(port, SLOT_LABEL_MAX) && !taken(port))
        return port;
    for (size_t place = rows.size() + 1;; place++)
        if (!taken("S" + std::to_string(place)))
            return "S" + std::to_string(place);
}

std::string gang_usage()
{
    return "usage: pelmo4rix gang [--ports NAME,NAME,... | --ports by-path | --all]\n"
           "         [--labels LABEL,LABEL,...] [--address-file FILE]\n"
           "         [--record FILE] [--image FILE [--trust FILE] [--min-version V]\n"
           "         [--allow-unsigned]]\n"
           "         [--units N] [--attempts N]\n"
           "         [--worker-timeout S] [--quarantine N]\n"
           "         [--http [HOST:]PORT [--http-host NAME]...]\n"
           "         [--pool URL [--station NAME] [--journal FILE] [--allow-downgrade]]\n"
           "         [--only-changed] [--keep-known-address] [--baud RATE] [--write-blank]\n"
           "         [--label TEMPLATE --label-to TO] [--hook-spool FILE]\n"
           "       pelmo4rix gang --replay-hooks FILE [--on-unit-timeout S]\n"
           "Programs every unit that answers on the watched ports, several at once, each with\n"
           "the next address of the address file (default info.ini, locked for the whole run).\n"
           "A unit is programmed the moment it answers; its port is programmed again only\n"
           "after that unit has gone and a new one answers.\n"
           "  --ports NAME,...  watch these ports (default: the ports the system lists); on\n"
           "                    Linux a stable name serial/by-path/... follows the adapter's\n"
           "                    place, serial/by-id/... its serial number\n"
           "  --ports by-path   watch every port named by its place, in name order\n"
           "  --labels LABEL,...  a short label per port of --ports, in order, naming its\n"
           "                    slot on the table, the page and the record: 1 to 16 letters,\n"
           "                    digits and ._- (default: the port's name where it is such,\n"
           "                    as COM7 or ttyUSB0, else S1, S2, ... in port order)\n"
           "  --all             also every numbered port that exists (COM1 to COM255)\n"
           "  --record FILE     production record, one CSV line per unit (default\n"
           "                    production.csv beside the address file)\n"
           "  --image FILE      program this image package instead of the built-in image,\n"
           "                    checked as flash --image checks it (pelmo4rix flash --help)\n"
           "  --trust FILE      a trusted public key (or a folder of them) for the package;\n"
           "                    given, only its keys are trusted (pelmo4rix flash --help)\n"
           "  --min-version V   refuse a package older than version V\n"
           "  --allow-unsigned  take a raw image file too, recorded as unsigned\n"
           "  --units N         end after N units\n"
           "  --attempts N      programming attempts per unit (1 to 20, default 3)\n"
           "  --worker-timeout S  end a worker silent for S seconds (default 30)\n"
           "  --quarantine N    a port whose last N units failed, or whose last N workers\n"
           "                    found no unit, takes no more units until 'r' is pressed:\n"
           "                    check the fixture (default 3, 0: never)\n"
           "  --http [HOST:]PORT  serve the line's page, /api/status and /metrics (read\n"
           "                    only) on HOST (default 127.0.0.1); port 0: any free port\n"
           "  --http-host NAME  a name the page is reached by besides its IP addresses and\n"
           "                    localhost (other names are refused); may be repeated\n"
           "  --pool URL        addresses and record from the shared pool on a PostgreSQL\n"
           "                    server instead of the address file (default: PELMO4RIX_POOL)\n"
           "  --station NAME    this station's name in the pool's record, the metrics, the\n"
           "                    hooks and labels: letters, digits and ._- (default: the host\n"
           "                    name)\n"
           "  --journal FILE    results waiting for the pool's server (default\n"
           "                    pool-journal.txt)\n"
           "  --allow-downgrade program an image older than the newest version the pool has\n"
           "                    recorded good (refused otherwise), and say so in each\n"
           "                    unit's record\n"
           "  --only-changed    erase and write only the sectors that differ from the image\n"
           "                    (the unit's own checksums tell); any doubt writes them all\n"
           "  --keep-known-address  a unit that holds an address written to it alone (the\n"
           "                    record, or the pool) is programmed with that address again,\n"
           "                    recorded as kept; any other unit gets a new one (on with\n"
           "                    --only-changed)\n"
           "  --baud RATE       ask each unit's loader for RATE baud (1000000 to 12000000,\n"
           "                    default PELMO4RIX_BAUD or 1000000); a port that steps down\n"
           "                    keeps the rate that worked for its next units\n"
           "  --write-blank     also send the image sectors that are all 0xFF\n" +
           std::string(HOOK_OPTIONS_HELP) +
           "  --replay-hooks FILE  send the hooks and labels kept in this spool once more\n"
           "                    (each once), then end\n"
           "On a terminal a live table is drawn; otherwise one line per event. 'q' or Ctrl+C\n"
           "ends the gang once the units in progress are done; a second Ctrl+C stops them.\n"
           "Exit codes: 0 every unit good; 28 a unit failed; 29 the record could not be\n"
           "written; 25 the address file is locked by another program or can't be read or\n"
           "saved; 24 the image file is refused; 31 the page can't be served; 2 a usage\n"
           "error; 130 stopped by Ctrl+C; 32 the pool has no address left; 33 the pool's\n"
           "server can't be reached or refuses; 34 (--replay-hooks) a hook or label failed\n"
           "again.\n";
}
