// Command-line options of pelmo4rix-vunit.
#include <cstdlib>

#include "internal.h"

namespace {

// Up to 8 digits: line speeds reach 12,000,000.
bool parse_int(const std::string& text, int& out)
{
    if (text.empty() || text.size() > 8 || text.find_first_not_of("0123456789") != std::string::npos)
        return false;
    out = std::atoi(text.c_str());
    return true;
}

}  // namespace

std::string vunit_usage()
{
    return "usage: pelmo4rix-vunit [options]\n"
           "  --device-dir DIR        link the port into DIR (default: print the /dev/pts path)\n"
           "  --name NAME             name of the link (default COM7)\n"
           "  --list                  also append NAME to DIR/SERIALCOMM\n"
           "  --version XYZ           firmware version characters (default 605)\n"
           "  --flash-mbit 4|8        flash size (default 8)\n"
           "  --stored-address NAP:UAP:LAP   information sector with this address (hex)\n"
           "  --params HEX32          parameter block of 16 bytes\n"
           "  --flash-in FILE         initial flash content\n"
           "  --flash-out FILE        flash content written when the unit ends\n"
           "  --log FILE              one line per received frame\n"
           "  --trace-out FILE        every trace byte sent\n"
           "  --line-rate             move bytes at the simulated baud; typical flash timings\n"
           "                          (64 KB erase 150 ms, 4 KB erase 45 ms, write 11 ms, checksum 205 ms)\n"
           "  --erase-ms N, --write-ms N, --crc-ms N   delays before those replies (the checksum's\n"
           "                          for 0x7D000 bytes; a range takes its share)\n"
           "  --boot-from-flash       start the firmware only when flash sector 0 is not erased;\n"
           "                          with it erased the unit stays in its loader\n"
           "  --erase-block-ms N, --erase-sector-ms N  64 KB and 4 KB erases apart (default --erase-ms)\n"
           "  --trace-rate N          bytes per second of the trace (default 4000)\n"
           "  --trace-bytes N         the trace ends after its first N bytes: the unit goes quiet\n"
           "  --firmware-baud N       the running firmware's speed (default 115200)\n"
           "  --adapter-latency-ms N  hold bytes toward the program until 62 wait or N ms passed,\n"
           "                          as a USB serial adapter's latency timer does (default 0)\n"
           "  --max-baud N            the fastest speed change the loader takes (default 1000000)\n"
           "  --baud-fault ignore|refuse|garble   a faster one: acknowledged and the line stays\n"
           "                          at 1000000, refused, or acknowledged and the unit then\n"
           "                          talks garbage until it restarts (default ignore)\n"
           "  --fault SPEC            silent-until-restart | no-reply:KIND[:COUNT[:AFTER]] |\n"
           "                          short-reply:KIND:LEN[:COUNT[:AFTER]] |\n"
           "                          reply:KIND:HEX[:COUNT[:AFTER]] |\n"
           "                          bad-crc | unplug-after-sectors:N | noise |\n"
           "                          unerased:SECTOR (erases leave that sector as it was)   (repeatable)\n"
           "Prints the port path as its first line, serves until SIGINT or SIGTERM.\n";
}

bool vunit_parse_args(int argc, char** argv, vunit_config& config, std::string& error)
{
    for (int i = 1; i < argc; ++i) {
        std::string option = argv[i], value;
        bool has_value = false;
        size_t eq = option.find('=');
        if (option.rfind("--", 0) == 0 && eq != std::string::npos) {
            value = option.substr(eq + 1);
            option.resize(eq);
            has_value = true;
        }
        if (option == "--list" || option == "--line-rate" || option == "--boot-from-flash") {
            if (has_value) {
                error = option + " takes no value";
                return false;
            }
            (option == "--list" ? config.list : option == "--line-rate" ? config.line_rate : config.boot_from_flash) = true;
            continue;
        }
        if (!has_value) {
            if (i + 1 >= argc) {
                error = "missing value after " + option;
                return false;
            }
            value = argv[++i];
        }
        bool ok = true;
        if (option == "--device-dir") config.device_dir = value;
        else if (option == "--name") config.name = value;
        else if (option == "--version") config.version = value;
        else if (option == "--flash-mbit") ok = parse_int(value, config.flash_mbit);
        else if (option == "--stored-address") config.stored_address = value;
        else if (option == "--params") config.params = value;
        else if (option == "--flash-in") config.flash_in = value;
        else if (option == "--flash-out") config.flash_out = value;
        else if (option == "--log") config.log = value;
        else if (option == "--trace-out") config.trace_out = value;
        else if (option == "--erase-ms") ok = parse_int(value, config.erase_ms);
        else if (option == "--erase-block-ms") ok = parse_int(value, config.erase_block_ms);
        else if (option == "--erase-sector-ms") ok = parse_int(value, config.erase_sector_ms);
        else if (option == "--write-ms") ok = parse_int(value, config.write_ms);
        else if (option == "--crc-ms") ok = parse_int(value, config.crc_ms);
        else if (option == "--trace-rate") ok = parse_int(value, config.trace_rate);
        else if (option == "--trace-bytes") ok = parse_int(value, config.trace_bytes);
        else if (option == "--adapter-latency-ms") ok = parse_int(value, config.adapter_latency_ms);
        else if (option == "--firmware-baud") {
            int baud = 0;
            ok = parse_int(value, baud);
            config.firmware_baud = uint32_t(baud);
        }
        else if (option == "--max-baud") {
            int baud = 0;
            ok = parse_int(value, baud);
            config.max_baud = uint32_t(baud);
        }
        else if (option == "--baud-fault") config.baud_fault = value;
        else if (option == "--fault") config.faults.push_back(value);
        else {
            error = "unknown option " + option;
            return false;
        }
        if (!ok) {
            error = "bad number for " + option + ": " + value;
            return false;
        }
    }
    return vunit_detail::check_config(config, error);
}
