// The command line: global options anywhere, one command, the command's own options.
#include <cctype>
#include <cstdlib>

#include "cli/cli.h"
#include "gang/gang.h"
#include "link/port.h"
#include "link/port_names.h"
#include "pool/pool.h"

namespace {

constexpr int MAX_SECONDS = 7 * 24 * 3600;

const char* const COMMANDS[] = {"ports", "version", "address", "params", "flash", "trace", "image", "gang", "pool", "package"};

// Commands with a command line of their own after the command word.
bool own_command_line(const std::string& command)
{
    return command == "gang" || command == "pool" || command == "package";
}

struct command_option_entry {
    const char* name;
    const char* command;
    bool takes_value;
};
const command_option_entry COMMAND_OPTIONS[] = {
    {"--image", "flash", true},         {"--keep-address", "flash", false}, {"--address", "flash", true},
    {"--address-file", "flash", true},  {"--no-restart", "flash", false},   {"--attempts", "flash", true},
    {"--out", "trace", true},           {"--seconds", "trace", true},
    {"--pool", "flash", true},          {"--station", "flash", true},
    {"--only-changed", "flash", false}, {"--baud", "flash", true},         {"--write-blank", "flash", false},
    {"--trust", "flash", true},         {"--allow-unsigned", "flash", false},
    {"--trust", "image", true},         {"--allow-unsigned", "image", false},
    {"--min-version", "flash", true},   {"--min-version", "image", true},
    {"--allow-downgrade", "flash", false},
    {"--on-unit", "flash", true},      {"--on-unit-timeout", "flash", true},
    {"--label", "flash", true},        {"--label-to", "flash", true},    {"--hook-spool", "flash", true},
};

bool known_command(const std::string& name)
{
    for (const char* command : COMMANDS)
        if (name == command)
            return true;
    return false;
}

bool hex_field(const std::string& text, size_t digits, uint32_t& value)
{
    if (text.size() != digits)
        return false;
    for (char c : text)
        if (!isxdigit(static_cast<unsigned char>(c)))
            return false;
    value = static_cast<uint32_t>(strtoul(text.c_str(), nullptr, 16));
    return true;
}

}  // namespace

bool parse_address(const std::string& text, uint8_t address[6])
{
    size_t first = text.find(':');
    size_t second = first == std::string::npos ? first : text.find(':', first + 1);
    if (second == std::string::npos)
        return false;
    uint32_t nap, uap, lap;
    if (!hex_field(text.substr(0, first), 4, nap) || !hex_field(text.substr(first + 1, second - first - 1), 2, uap) ||
        !hex_field(text.substr(second + 1), 6, lap))
        return false;
    const uint8_t bytes[6] = {static_cast<uint8_t>(lap), static_cast<uint8_t>(lap >> 8), static_cast<uint8_t>(lap >> 16),
                              static_cast<uint8_t>(uap), static_cast<uint8_t>(nap), static_cast<uint8_t>(nap >> 8)};
    for (int i = 0; i < 6; i++)
        address[i] = bytes[i];
    return true;
}

namespace {

struct arguments {
    int argc;
    char** argv;
    int next = 1;
    std::string& error;

    // The value of option `name`, from "--name=value" (`inline_value`) or the next argument.
    bool value(const std::string& name, bool has_inline, const std::string& inline_value, std::string& out)
    {
        if (has_inline) {
            out = inline_value;
            return true;
        }
        if (next >= argc) {
            error = "option " + name + " needs a value";
            return false;
        }
        out = argv[next++];
        return true;
    }
};

bool set_address_source(cli_options& options, address_source source, std::string& error)
{
    if (options.address_chosen) {
        error = source == ADDRESS_FROM_POOL || options.address == ADDRESS_FROM_POOL
                    ? "give --pool or one of --keep-address, --address and --address-file, not both"
                    : "give only one of --keep-address, --address and --address-file";
        return false;
    }
    options.address_chosen = true;
    options.address = source;
    return true;
}

// A command's own option; 1 when it was one and was taken.
bool command_option(cli_options& options, arguments& args, const std::string& name, bool has_inline,
                    const std::string& inline_value)
{
    std::string& error = args.error;
    std::string value;
    const std::string& command = options.command;
    const command_option_entry* known = nullptr;
    for (const command_option_entry& o : COMMAND_OPTIONS)
        if (name == o.name && command == o.command)
            known = &o;
    if (!known) {
        error = command.empty() ? "unknown option " + name : "unknown option " + name + " for " + command;
        return false;
    }
    const bool takes_value = known->takes_value;
    if (!takes_value && has_inline) {
        error = "option " + name + " takes no value";
        return false;
    }
    if (takes_value && !args.value(name, has_inline, inline_value, value))
        return false;
    if (name == "--image") {
        options.image_file = value;
    } else if (name == "--trust") {
        options.trust.push_back(value);
    } else if (name == "--allow-unsigned") {
        options.allow_unsigned = true;
    } else if (name == "--min-version") {
        return parse_min_version(value, options.min_version, error);
    } else if (name == "--allow-downgrade") {
        options.allow_downgrade = true;
    } else if (name == "--keep-address") {
        return set_address_source(options, ADDRESS_KEEP, error);
    } else if (name == "--address") {
        if (!parse_address(value, options.given_address)) {
            error = "bad address " + value + ": give NAP:UAP:LAP in hexadecimal, e.g. 0604:03:000100";
            return false;
        }
        return set_address_source(options, ADDRESS_GIVEN, error);
    } else if (name == "--address-file") {
        options.address_file = value;
        return set_address_source(options, ADDRESS_FROM_FILE, error);
    } else if (name == "--pool") {
        options.pool = value;
        return set_address_source(options, ADDRESS_FROM_POOL, error);
    } else if (name == "--station") {
        return parse_station(value, options.station, error);
    } else if (name == "--no-restart") {
        options.restart = false;
    } else if (name == "--only-changed") {
        options.only_changed = true;
    } else if (name == "--write-blank") {
        options.write_blank = true;
    } else if (name == "--baud") {
        options.baud_given = true;
        return parse_baud(value, options.baud, error);
    } else if (is_hook_option(name)) {
        return set_hook_option(options.hooks, name, value, error);
    } else if (name == "--attempts") {
        if (!parse_count(value, 1, MAX_ATTEMPTS, options.attempts)) {
            error = "bad number for --attempts: " + value + " (1 to " + std::to_string(MAX_ATTEMPTS) + ")";
            return false;
        }
    } else if (name == "--out") {
        options.trace_out = value;
    } else if (name == "--seconds") {
        if (!parse_count(value, 1, MAX_SECONDS, options.seconds)) {
            error = "bad number for --seconds: " + value;
            return false;
        }
    }
    return true;
}

bool global_option(cli_options& options, arguments& args, const std::string& name, bool has_inline,
                   const std::string& inline_value, bool& taken)
{
    taken = true;
    if (name == "--port") {
        if (!args.value(name, has_inline, inline_value, options.port))
            return false;
        if (!port_name_fits(options.port)) {
            args.error = "bad port name '" + options.port + "': 1 to " + std::to_string(PORT_NAME_MAX) +
                         " characters, or a stable name " + STABLE_NAME_PREFIX + "...";
            return false;
        }
        return true;
    }
    bool* flag = name == "--json" ? &options.json : name == "--quiet" ? &options.quiet
               : name == "--events" ? &options.events
               : name == "--help" || name == "-h" ? &options.help : name == "--version" ? &options.version : nullptr;
    if (!flag) {
        taken = false;
        return true;
    }
    if (has_inline) {
        args.error = "option " + name + " takes no value";
        return false;
    }
    *flag = true;
    return true;
}

bool check_combination(const cli_options& options, std::string& error)
{
    if (options.command.empty() && !options.help && !options.version) {
        error = "no command given";
        return false;
    }
    if (options.command == "pool" && !options.port.empty()) {
        error = "--port is not for pool: the pool is on a server, named by --pool";
        return false;
    }
    if (options.command == "package" && !options.port.empty()) {
        error = "--port is not for package: it works on files";
        return false;
    }
    // The gang watches the ports of --ports, prints a line per event and has workers for the rest.
    if (options.command == "gang" && (!options.port.empty() || options.json || options.quiet)) {
        error = "--port, --json, --events and --quiet are not for gang: it watches --ports and prints a line per event";
        return false;
    }
    if (options.command == "trace" && options.trace_out == "-" && options.json) {
        error = "--json and --out - both want standard output";
        return false;
    }
    if (options.command == "flash" && options.hooks.label_to == "-" && options.json) {
        error = "--json and --label-to - both want standard output";
        return false;
    }
    if (options.command == "trace" && options.trace_out.empty()) {
        error = "--out needs a file name, or - for standard output";
        return false;
    }
    if (options.allow_downgrade && options.address != ADDRESS_FROM_POOL) {
        error = "--allow-downgrade goes with --pool: the pool's records tell which version is older";
        return false;
    }
    return true;
}

}  // namespace

int parse_options(int argc, char** argv, cli_options& options, std::string& error)
{
    arguments args{argc, argv, 1, error};
    bool image_file_given = false;
    while (args.next < argc) {
        std::string arg = argv[args.next++];
        if (arg.size() > 1 && arg[0] == '-' && arg != "-") {
            size_t eq = arg.find('=');
            bool has_inline = arg.rfind("--", 0) == 0 && eq != std::string::npos;
            std::string name = has_inline ? arg.substr(0, eq) : arg;
            std::string inline_value = has_inline ? arg.substr(eq + 1) : "";
            bool taken = false;
            if (!global_option(options, args, name, has_inline, inline_value, taken))
                return 0;
            if (!taken && !command_option(options, args, name, has_inline, inline_value))
                return 0;
        } else if (options.command.empty()) {
            if (!known_command(arg)) {
                error = "unknown command " + arg;
                return 0;
            }
            options.command = arg;
            if (own_command_line(arg)) {
                options.command_at = args.next - 1;
                break;
            }
        } else if (options.command == "image" && !image_file_given) {
            options.image_file = arg;
            image_file_given = true;
        } else {
            error = "unexpected argument " + arg;
            return 0;
        }
    }
    if (options.events)
        options.json = true;  // the last line is the result object
    const char* pool = getenv(POOL_VARIABLE);
    if (options.command == "flash" && !options.address_chosen && pool && *pool) {
        options.pool = pool;
        options.address = ADDRESS_FROM_POOL;
    }
    if (options.command == "flash" && !take_baud_variable(options.baud_given, options.baud, error))
        return 0;
    // Where the station's name is written (the pool's record, the hooks and labels), a host
    // name that is no plain name is refused before any unit.
    const bool named = options.address == ADDRESS_FROM_POOL || !options.hooks.command.empty() ||
                       !options.hooks.label_file.empty();
    if (options.command == "flash" && named && !station_name(options.station, options.station, error))
        return 0;
    return check_combination(options, error) ? 1 : 0;
}

std::string usage_text(const std::string& command)
{
    if (command == "gang")
        return gang_usage();
    if (command == "pool")
        return pool_usage();
    if (command == "package")
        return package_usage();
    if (command == "ports")
        return "usage: pelmo4rix [--port NAME] [--json] ports\n"
               "Lists every serial port the system lists or the scan finds, and whether a unit\n"
               "answers there; on Linux also its stable names (serial/by-path/... by its place,\n"
               "serial/by-id/... by its serial number) and the USB adapter behind it. With\n"
               "--port only that port is tried.\n";
    if (command == "version")
        return "usage: pelmo4rix [--port NAME] [--json] [--quiet] version\n"
               "Shows the unit's firmware version and its flash layout.\n";
    if (command == "address")
        return "usage: pelmo4rix [--port NAME] [--json] [--quiet] address\n"
               "Reads back the Bluetooth address stored on the unit, then restarts it.\n";
    if (command == "params")
        return "usage: pelmo4rix [--port NAME] [--json] [--quiet] params\n"
               "Reads back the parameter block stored on the unit, then restarts it.\n";
    if (command == "flash")
        return "usage: pelmo4rix [--port NAME] [--json] [--quiet] flash [--image FILE]\n"
               "         [--trust FILE] [--min-version V] [--allow-unsigned]\n"
               "         [--keep-address | --address NAP:UAP:LAP | --address-file FILE |\n"
               "          --pool URL [--station NAME] [--allow-downgrade]] [--no-restart]\n"
               "         [--attempts N]\n"
               "         [--only-changed] [--baud RATE] [--write-blank]\n"
               "         [--on-unit COMMAND] [--on-unit-timeout S]\n"
               "         [--label TEMPLATE --label-to TO] [--hook-spool FILE]\n"
               "Programs the unit with the built-in image, or with the image package FILE\n"
               "(pelmo4rix package --help), checked against the trusted keys and the unit's\n"
               "flash size before anything is sent: the keys of --trust FILE (may be repeated)\n"
               "when given, else those PELMO4RIX_TRUST names, else those of the folder trusted.d\n"
               "beside the programs and /etc/pelmo4rix/trusted.d; --min-version V refuses a\n"
               "package older than V. A raw image file (exactly 1040384 bytes) only with\n"
               "--allow-unsigned (recorded as unsigned). It writes the image\n"
               "and has the unit checksum it. The address written is the unit's own stored one\n"
               "(--keep-address, the default), the one given, or the next one of an address\n"
               "file (locked while in use, advanced only after a verified success). The unit is\n"
               "restarted afterwards unless --no-restart. --attempts N (1 to 20, default 1)\n"
               "repeats a failed attempt after 3 seconds. Exit code 0 only when the unit's\n"
               "checksum matched. --pool URL takes the address from the shared pool on a\n"
               "PostgreSQL server and stores the unit's record there (PELMO4RIX_POOL is used\n"
               "when no address option is given); --station NAME (letters, digits and ._-,\n"
               "default the host name) names this station in it. An image older than the\n"
               "newest version the pool has recorded good is refused unless --allow-downgrade\n"
               "is given, which the unit's record then names.\n"
               "--only-changed: the unit checksums its sectors first, and only those that differ\n"
               "from the image (and the information sector when it differs) are erased and\n"
               "written, sector 0 always and last; any doubt writes the whole flash after all.\n"
               "--baud RATE (1000000 to 12000000; PELMO4RIX_BAUD when not given) asks the loader\n"
               "for a faster line; a unit or adapter that does not keep up is restarted and\n"
               "entered again at the next lower of 2000000, 1500000 and 1000000 baud. Image\n"
               "sectors that are all 0xFF are not sent after the erase (the checksum still\n"
               "proves them); --write-blank sends them too.\n"
               "Once the unit has ended, good or failed, its hook runs and a good unit's label\n"
               "is printed; what fails of them is kept in the spool, and the exit code stays\n"
               "the unit's.\n" +
               std::string(HOOK_OPTIONS_HELP);
    if (command == "trace")
        return "usage: pelmo4rix [--port NAME] [--quiet] trace [--out FILE|-] [--seconds N]\n"
               "Turns the unit's debug port on and copies its trace to FILE (default\n"
               "Pelmo4Rix.trace) or to standard output (-), for N seconds or until Ctrl+C\n"
               "(exit code 130).\n";
    if (command == "image")
        return "usage: pelmo4rix [--json] image [FILE] [--trust FILE] [--min-version V]\n"
               "         [--allow-unsigned]\n"
               "Shows size, version and checksum of the built-in image or of FILE (a package or\n"
               "a raw image), and whether flash --image with the same options would accept it,\n"
               "or why not (exit code 24 when not); for a package also the trusted keys it was\n"
               "checked against and the key files skipped.\n";
    return "usage: pelmo4rix [--port NAME] [--json] [--quiet] COMMAND [options]\n"
           "       pelmo4rix --help | COMMAND --help | --version\n"
           "\n"
           "Commands:\n"
           "  ports     serial ports and whether a unit answers on each\n"
           "  version   the unit's firmware version and flash layout\n"
           "  address   the Bluetooth address stored on the unit\n"
           "  params    the parameter block stored on the unit\n"
           "  flash     program the unit (built-in image or --image FILE)\n"
           "  trace     copy the unit's debug trace to a file or standard output\n"
           "  image     size, version and checksum of the built-in image or a file\n"
           "  gang      program several units at once (pelmo4rix gang --help)\n"
           "  pool      set up and look after a shared address pool (pelmo4rix pool --help)\n"
           "  package   signing keys and signed image packages (pelmo4rix package --help)\n"
           "\n"
           "Options:\n"
           "  --port NAME  use only this port (default: find the unit as the tools do); on\n"
           "               Linux also a stable name, serial/by-path/... or serial/by-id/...\n"
           "  --json       print the result as one JSON object\n"
           "  --quiet      no messages and no progress on standard error, only errors\n"
           "  --events     flash: progress as JSON lines on standard output before the\n"
           "               result object (implies --json), for a supervising program\n"
           "\n"
           "Results go to standard output, messages and progress to standard error.\n"
           "Exit codes: 0 success; 1 to 20 the failed step's error code (as the tools number\n"
           "them; 20: the unit's checksum differs); 2 also a usage error; 21 no unit; 22 no\n"
           "firmware version; 23 read-back incomplete; 24 image file refused; 25 address file\n"
           "problem; 26 trace file problem; 27 the debug port did not come on; 32 the pool\n"
           "has no address left; 33 the pool's server can't be reached or refuses; 130\n"
           "Ctrl+C; 143 SIGTERM.\n";
}
