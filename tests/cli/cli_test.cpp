// The scriptable front end end to end: the real `pelmo4rix` program against the virtual unit,
// its standard output and standard error kept apart, the results checked on the unit's side.
#include <signal.h>
#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <functional>

#include "device/flash_layout.h"
#include "image/crc32.h"
#include "image/image.h"
#include "link/frames.h"
#include "link/state.h"
#include "support/json.h"
#include "support/session.h"
#include "support/unit_fixture.h"
#include "tools/address_file.h"

namespace {

class front_end : public unit_test {
protected:
    temp_dir cwd;

    run_result run(const std::vector<std::string>& args, int timeout_ms = 30000)
    {
        std::vector<std::string> argv = {program_path("pelmo4rix")};
        argv.insert(argv.end(), args.begin(), args.end());
        return run_program(argv, cwd.path, "", false, timeout_ms, true);
    }
};

// The values of `keys` in the one JSON object that `text` must be: "key=value" lines, each
// value written as JSON again (compact, members in their order); "invalid" otherwise.
std::string json_fields(const std::string& text, const std::vector<std::string>& keys)
{
    nlohmann::ordered_json d = nlohmann::ordered_json::parse(text, nullptr, false);
    if (!d.is_object())
        return "invalid: " + text;
    std::string fields;
    for (const std::string& k : keys)
        fields += k + "=" + (d.contains(k) ? d[k].dump() : "\"<missing>\"") + "\n";
    return fields;
}

// The unit's flash holds `image` in sectors 0 to 252 and the information sector of `address`.
void expect_programmed(vunit* unit, const uint8_t address[6], const uint8_t* image = firmware_image)
{
    EXPECT_TRUE(holds_image(unit, image));
    EXPECT_TRUE(holds_address(unit, address_text(address)));
}

const uint8_t DEFAULT_ADDRESS[6] = {0x00, 0x01, 0x00, 0x03, 0x04, 0x06};

struct flash_case {
    const char* name;
    std::vector<std::string> unit_options;
    std::vector<std::string> args;
    const char* shown;
    uint8_t address[6];
};

TEST_F(front_end, flash_writes_the_image_with_the_chosen_address)
{
    const flash_case cases[] = {
        {"keeps the stored address", {"--stored-address", "0604:03:abcdef"}, {"flash"}, "0604:03:abcdef", {0xef, 0xcd, 0xab, 3, 4, 6}},
        {"no stored address: the default", {}, {"flash", "--keep-address"}, "0604:03:000100", {0x00, 0x01, 0x00, 3, 4, 6}},
        {"given address", {"--stored-address", "0604:03:abcdef"}, {"flash", "--address", "1234:56:789abc"},
         "1234:56:789abc", {0xbc, 0x9a, 0x78, 0x56, 0x34, 0x12}},
    };
    for (const flash_case& c : cases) {
        SCOPED_TRACE(c.name);
        vunit* unit = start_unit(c.unit_options);
        run_result r = run(c.args);
        EXPECT_EQ(r.exit_code, 0) << r.errors;
        expect_programmed(unit, c.address);
        EXPECT_NE(r.output.find(std::string("address    ") + c.shown + "\n"), std::string::npos) << r.output;
        // The services' messages and the progress went to standard error, a line per phase.
        EXPECT_EQ(r.output.find("Search Device"), std::string::npos);
        EXPECT_NE(r.errors.find(" Search Device ...\n"), std::string::npos);
        EXPECT_NE(r.errors.find("erase: 30 steps\nwrite: 1040384 bytes\nverify: 1 checksum\n Reboot MCU \n"),
                  std::string::npos)
            << r.errors;
        // Restarted: the unit runs its new firmware again.
        EXPECT_FALSE(vunit_in_loader(unit));
        stop_unit(unit);
    }
}

TEST_F(front_end, flash_of_an_image_file_checks_against_the_files_own_checksum)
{
    std::vector<uint8_t> image(firmware_image, firmware_image + IMAGE_SIZE);
    for (int i = 0; i < 64; i++)
        image[5 * SECTOR_SIZE + i] ^= 0x5A;  // inside the checksummed range
    write_file(cwd / "other.bin", std::string(image.begin(), image.end()));
    vunit* unit = start_unit();

    run_result info = run({"image", "other.bin", "--allow-unsigned"});
    EXPECT_EQ(info.exit_code, 0);
    char checksum[32];
    snprintf(checksum, sizeof checksum, "checksum  %08X\n", jamcrc(image.data(), CHECKSUM_END));
    EXPECT_NE(info.output.find(checksum), std::string::npos) << info.output;
    EXPECT_NE(info.output.find("accepted  yes\n"), std::string::npos);

    run_result r = run({"flash", "--image", "other.bin", "--allow-unsigned", "--no-restart"});
    EXPECT_EQ(r.exit_code, 0) << r.errors;
    expect_programmed(unit, DEFAULT_ADDRESS, image.data());
    EXPECT_TRUE(vunit_in_loader(unit));  // --no-restart
}

TEST_F(front_end, a_failed_attempt_is_repeated_when_asked)
{
    vunit* unit = start_unit({"--fault", "no-reply:13:2"});  // the first erase goes unanswered, twice
    run_result r = run({"flash", "--attempts", "2"});
    EXPECT_EQ(r.exit_code, 0) << r.errors;
    EXPECT_NE(r.output.find("attempts   2\n"), std::string::npos) << r.output;
    EXPECT_NE(r.errors.find("\n Fail on erase flash. try cnt = 0\n"), std::string::npos);
    expect_programmed(unit, DEFAULT_ADDRESS);
}

TEST_F(front_end, address_file_hands_out_consecutive_addresses)
{
    write_file(cwd / "info.ini", "0604 03 0000ff ");
    const uint8_t expected[2][6] = {{0xff, 0x00, 0x00, 3, 4, 6}, {0x00, 0x01, 0x00, 3, 4, 6}};
    const char* const file_after[2] = {"0604 03 000100 ", "0604 03 000101 "};
    for (int unit_number = 0; unit_number < 2; unit_number++) {
        SCOPED_TRACE(unit_number);
        vunit* unit = start_unit({"--stored-address", "0604:03:abcdef"});
        run_result r = run({"--json", "flash", "--address-file", "info.ini"});
        EXPECT_EQ(r.exit_code, 0) << r.errors;
        expect_programmed(unit, expected[unit_number]);
        EXPECT_EQ(read_file(cwd / "info.ini"), file_after[unit_number]);
        EXPECT_EQ(json_fields(r.output, {"address"}), "address=\"" + address_text(expected[unit_number]) + "\"\n");
        EXPECT_NE(r.errors.find(" Next BT ADD = "), std::string::npos);  // the station's words, on standard error
        stop_unit(unit);
    }
}

// A unit that failed its checksum holds the address on its flash: no later unit gets it.
TEST_F(front_end, address_file_skips_the_address_of_a_unit_that_failed_after_taking_it)
{
    write_file(cwd / "info.ini", "0604 03 000100 ");
    vunit* unit = start_unit({"--fault", "bad-crc"});
    run_result r = run({"flash", "--address-file", "info.ini"});
    EXPECT_EQ(r.exit_code, 20);
    EXPECT_TRUE(holds_address(unit, address_text(0x100)));
    EXPECT_EQ(read_file(cwd / "info.ini"), "0604 03 000101 ");
}

struct address_file_case {
    const char* name;
    const char* file;
    const char* content;  // nullptr: no file
    bool held;            // another program holds the file's lock
    const char* message;
};

TEST_F(front_end, address_file_refused)
{
    const address_file_case cases[] = {
        {"missing", "a.ini", nullptr, false, "pelmo4rix: can't read the address file a.ini"},
        {"in use", "b.ini", "0604 03 000100 ", true, "pelmo4rix: the address file b.ini is in use\n"},
        {"no valid address", "c.ini", "0604 3 000100 ", false, "pelmo4rix: the address file c.ini holds no valid address\n"},
    };
    for (const address_file_case& c : cases) {
        SCOPED_TRACE(c.name);
        if (c.content)
            write_file(cwd / c.file, c.content);
        os_file_lock* lock = c.held ? lock_address_file((cwd / c.file).c_str()) : nullptr;
        vunit* unit = start_unit();
        run_result r = run({"flash", "--address-file", c.file});
        EXPECT_EQ(r.exit_code, 25);
        EXPECT_NE(r.errors.find(c.message), std::string::npos) << r.errors;
        EXPECT_TRUE(vunit_frames(unit).empty());
        EXPECT_EQ(read_file(cwd / c.file), c.content ? c.content : "");  // nothing made up, nothing changed
        EXPECT_EQ(access((cwd / c.file).c_str(), F_OK) == 0, c.content != nullptr);
        unlock_address_file(lock);
        stop_unit(unit);
    }
}

TEST_F(front_end, built_in_image)
{
    run_result r = run({"--json", "image"});
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(json_fields(r.output, {"ok", "image", "size", "version", "checksum", "accepted"}),
              "ok=true\nimage=\"built-in\"\nsize=1040384\nversion=\"6.05\"\nchecksum=\"3922BA1C\"\naccepted=true\n");
}

struct failure_case {
    const char* name;
    std::vector<std::string> unit_options;  // empty list: no unit at all
    bool with_unit;
    std::vector<std::string> args;
    int exit_code;
    const char* message;
};

TEST_F(front_end, failures_end_with_their_exit_code_and_message)
{
    write_file(cwd / "short.bin", std::string(1000, '\xff'));
    const failure_case cases[] = {
        {"no unit", {}, false, {"version"}, 21, "pelmo4rix: no unit found\n"},
        {"no unit on the given port", {}, true, {"--port", "COM9", "address"}, 21, "pelmo4rix: no unit answers on COM9\n"},
        {"loader never answers", {"--fault", "no-reply:2"}, true, {"flash"}, 8,
         "pelmo4rix: the unit's loader did not answer the handshake\n"},
        {"bad checksum", {"--fault", "bad-crc"}, true, {"flash"}, 20,
         "pelmo4rix: the unit's checksum differs from the image's\n"},
        {"wrong-size image file", {}, true, {"flash", "--image", "short.bin", "--allow-unsigned"}, 24,
         "pelmo4rix: short.bin refused: it is 1000 bytes; an image must be exactly 1040384 bytes\n"},
        {"missing image file", {}, true, {"flash", "--image", "none.bin"}, 24,
         "pelmo4rix: can't read none.bin: No such file or directory\n"},
        {"unknown option", {}, true, {"flash", "--frobnicate"}, 2, "pelmo4rix: unknown option --frobnicate for flash\n"},
        {"unknown command", {}, true, {"erase"}, 2, "pelmo4rix: unknown command erase\n"},
        {"bad address", {}, true, {"flash", "--address", "0604:3:000100"}, 2, "pelmo4rix: bad address 0604:3:000100"},
        {"attempts out of range", {}, true, {"flash", "--attempts", "21"}, 2,
         "pelmo4rix: bad number for --attempts: 21 (1 to 20)\n"},
        {"option without its value", {}, true, {"trace", "--out"}, 2, "pelmo4rix: option --out needs a value\n"},
        {"port name too long", {}, true, {"--port", "COM1234567890123", "version"}, 2,
         "pelmo4rix: bad port name 'COM1234567890123': 1 to 15 characters, or a stable name serial/...\n"},
        {"two address options", {}, true, {"flash", "--keep-address", "--address", "0604:03:000100"}, 2,
         "pelmo4rix: give only one of --keep-address, --address and --address-file\n"},
        {"trace file can't be created", {}, true, {"trace", "--out", "no/such/dir/t"}, 26,
         "pelmo4rix: can't create no/such/dir/t\n"},
        {"a version reply without the version", {"--fault", "reply:22:" + std::string(66, '0') + ":100"}, true,
         {"--port", "COM7", "version"}, 22, "pelmo4rix: the unit did not report its firmware version\n"},
        {"the information sector's read cut short", {"--fault", "short-reply:18:10:100"}, true, {"address"}, 23,
         "pelmo4rix: the unit's information sector could not be read\n"},
        {"the parameter sector's read cut short", {"--fault", "short-reply:19:10:100"}, true, {"params"}, 23,
         "pelmo4rix: the unit's parameter sector could not be read\n"},
    };
    for (const failure_case& c : cases) {
        SCOPED_TRACE(c.name);
        if (!c.with_unit)
            write_file(dev / "SERIALCOMM", "");
        vunit* unit = c.with_unit ? start_unit(c.unit_options) : nullptr;
        run_result r = run(c.args);
        EXPECT_EQ(r.exit_code, c.exit_code) << r.errors;
        EXPECT_NE(r.errors.find(c.message), std::string::npos) << r.errors;
        EXPECT_EQ(r.output, "");
        if (c.exit_code == 2 || c.exit_code == 24) {
            ASSERT_NE(unit, nullptr);
            EXPECT_TRUE(vunit_frames(unit).empty());  // refused before anything reached the unit
        }
        if (unit)
            stop_unit(unit);
    }
}

// Options as --name=value work as --name value, for the front end's commands and the gang; a
// flag given a value and a value left empty are refused before anything reaches the unit.
TEST_F(front_end, options_given_as_name_equals_value)
{
    vunit* unit = start_unit();
    run_result flashed = run({"--port=COM7", "--json", "flash", "--address=0604:03:00beef", "--attempts=2"});
    EXPECT_EQ(flashed.exit_code, 0) << flashed.errors;
    EXPECT_TRUE(holds_address(unit, "0604:03:00beef"));
    run_result gang = run({"gang", "--ports=COM7", "--units=1", "--address-file=gang.ini", "--record=gang.csv"});
    EXPECT_EQ(gang.exit_code, 0) << gang.output << gang.errors;
    EXPECT_EQ(read_file(cwd / "gang.ini"), address_file_line(0x101));
    EXPECT_TRUE(holds_address(unit, address_text(0x100)));
    const size_t frames = vunit_frames(unit).size();

    struct refusal {
        std::vector<std::string> args;
        const char* message;
    } refusals[] = {
        {{"--quiet=yes", "version"}, "pelmo4rix: option --quiet takes no value\n"},
        {{"flash", "--attempts="}, "pelmo4rix: bad number for --attempts:  (1 to 20)\n"},
        {{"flash", "--address="}, "pelmo4rix: bad address "},
        {{"gang", "--all=yes"}, "option --all takes no value"},
        {{"gang", "--units="}, "bad number for --units"},
    };
    for (const refusal& r : refusals) {
        run_result refused = run(r.args);
        EXPECT_EQ(refused.exit_code, 2) << r.args[0] << " " << r.args[1];
        EXPECT_NE(refused.errors.find(r.message), std::string::npos) << refused.errors;
    }
    EXPECT_EQ(vunit_frames(unit).size(), frames) << "nothing reached the unit";
}

TEST_F(front_end, checksum_mismatch_in_json)
{
    start_unit({"--fault", "bad-crc"});
    run_result r = run({"--json", "flash"});
    EXPECT_EQ(r.exit_code, 20);
    EXPECT_EQ(json_fields(r.output, {"ok", "command", "exit_code"}), "ok=false\ncommand=\"flash\"\nexit_code=20\n");
    EXPECT_NE(r.errors.find("\t !!!!! CRC error !!!!! \n"), std::string::npos);
}

TEST_F(front_end, json_results_of_flash_address_and_version)
{
    vunit* unit = start_unit({"--version", "605"});
    run_result flashed = run({"--json", "flash", "--address", "0604:03:00beef"});
    EXPECT_EQ(flashed.exit_code, 0) << flashed.errors;
    EXPECT_EQ(json_fields(flashed.output, {"ok", "command", "port", "image", "address", "restarted"}),
              "ok=true\ncommand=\"flash\"\nport=\"COM7\"\nimage=\"built-in\"\naddress=\"0604:03:00beef\"\nrestarted=true\n");

    run_result address = run({"--json", "address"});
    EXPECT_EQ(address.exit_code, 0) << address.errors;
    EXPECT_EQ(json_fields(address.output, {"ok", "stored", "address"}), "ok=true\nstored=true\naddress=\"0604:03:00beef\"\n");
    EXPECT_FALSE(vunit_in_loader(unit));  // restarted after the read-back

    run_result version = run({"--json", "--port", "COM7", "version"});
    EXPECT_EQ(version.exit_code, 0) << version.errors;
    EXPECT_EQ(json_fields(version.output, {"ok", "command", "port", "firmware", "flash_layout"}),
              "ok=true\ncommand=\"version\"\nport=\"COM7\"\nfirmware=\"605\"\nflash_layout=\"new\"\n");

    run_result params = run({"--json", "params"});
    EXPECT_EQ(params.exit_code, 0) << params.errors;
    EXPECT_EQ(json_fields(params.output, {"stored", "words"}), "stored=false\nwords=null\n");
}

TEST_F(front_end, params_stored_on_the_unit)
{
    start_unit({"--params", "0100000002000000030000000400ffff"});
    run_result r = run({"params"});
    EXPECT_EQ(r.exit_code, 0) << r.errors;
    EXPECT_NE(r.output.find("words         0x00000001 0x00000002 0x00000003 0xffff0004\n"), std::string::npos) << r.output;
}

TEST_F(front_end, ports_lists_listed_and_scanned_ports)
{
    start_unit();
    far_end silent;
    silent.link_as(dev.path, "COM3");  // not in the list: found by the scan, and nothing answers
    run_result r = run({"--json", "ports"});
    EXPECT_EQ(r.exit_code, 0) << r.errors;
    EXPECT_EQ(json_fields(r.output, {"ports"}),
              "ports=[{\"name\":\"COM7\",\"listed\":true,\"open\":true,\"unit\":true,\"by_path\":[],"
              "\"by_id\":[],\"driver\":null,\"usb\":null,\"serial\":null,\"product\":null,\"latency_timer_ms\":null},"
              "{\"name\":\"COM3\",\"listed\":false,\"open\":true,\"unit\":false,\"by_path\":[],\"by_id\":[],"
              "\"driver\":null,\"usb\":null,\"serial\":null,\"product\":null,\"latency_timer_ms\":null}]\n");
}

TEST_F(front_end, trace_for_some_seconds_holds_exactly_what_the_unit_sent)
{
    vunit* unit = start_unit();
    run_result r = run({"trace", "--seconds", "2"});
    EXPECT_EQ(r.exit_code, 0) << r.errors;
    std::vector<uint8_t> sent = vunit_trace_sent(unit);
    std::string file = read_file(cwd / "Pelmo4Rix.trace");
    EXPECT_GT(file.size(), 1000u);
    EXPECT_EQ(file, std::string(sent.begin(), sent.end()));
    EXPECT_NE(r.output.find("bytes    " + std::to_string(file.size()) + "\n"), std::string::npos) << r.output;
    EXPECT_EQ(frames_of(unit, CMD_QUIT, 1), 1);
}

TEST_F(front_end, trace_to_standard_output)
{
    vunit* unit = start_unit();
    run_result r = run({"trace", "--out", "-", "--seconds", "1"});
    EXPECT_EQ(r.exit_code, 0) << r.errors;
    std::vector<uint8_t> sent = vunit_trace_sent(unit);
    EXPECT_GT(r.output.size(), 500u);
    EXPECT_EQ(r.output, std::string(sent.begin(), sent.end()));
}

TEST_F(front_end, no_unit_leaves_an_earlier_trace_file_alone)
{
    write_file(dev / "SERIALCOMM", "");
    write_file(cwd / "Pelmo4Rix.trace", "earlier");
    run_result r = run({"trace"});
    EXPECT_EQ(r.exit_code, 21);
    EXPECT_EQ(read_file(cwd / "Pelmo4Rix.trace"), "earlier");
}

TEST_F(front_end, unit_whose_trace_never_starts)
{
    vunit* unit = start_unit({"--fault", "no-reply:23"});
    run_result r = run({"trace", "--seconds", "1"});
    EXPECT_EQ(r.exit_code, 27);
    EXPECT_NE(r.errors.find("pelmo4rix: the unit's debug port did not come on\n"), std::string::npos);
    EXPECT_EQ(frames_of(unit, CMD_QUIT, 3), 3);
}

TEST_F(front_end, help_and_version)
{
    run_result help = run({"--help"});
    EXPECT_EQ(help.exit_code, 0);
    EXPECT_EQ(help.output.rfind("usage: pelmo4rix", 0), 0u);
    run_result flash_help = run({"flash", "--help"});
    EXPECT_EQ(flash_help.exit_code, 0);
    EXPECT_NE(flash_help.output.find("--address-file FILE"), std::string::npos);
    run_result version = run({"--version"});
    EXPECT_EQ(version.exit_code, 0);
    EXPECT_EQ(version.output, "pelmo4rix 1.03, built-in firmware image 6.05\n");
}

// With --json every outcome is one JSON object on standard output, usage errors included,
// wherever on the command line the error or --json stands; the message also goes to
// standard error.
TEST_F(front_end, json_usage_errors_are_one_object_each)
{
    scoped_env no_pool("PELMO4RIX_POOL", "");
    struct usage_case {
        std::vector<std::string> args;
        const char* command;  // as JSON
        const char* error;
    } cases[] = {
        {{"--json", "flash", "--attempts", "0"}, "\"flash\"", "bad number for --attempts: 0 (1 to 20)"},
        {{"flash", "--attempts", "0", "--json"}, "\"flash\"", "bad number for --attempts: 0"},
        {{"--json", "bogus"}, "null", "unknown command bogus"},
        {{"--json", "flash", "--address", "zz"}, "\"flash\"", "bad address zz"},
        {{"--json"}, "null", "no command given"},
        {{"--events", "trace", "--out", "-"}, "\"trace\"", "--json and --out - both want standard output"},
        {{"--json", "trace", "--out", "-"}, "\"trace\"", "--json and --out - both want standard output"},
        {{"--json", "--port", "COM7", "pool", "status"}, "\"pool\"", "--port is not for pool"},
        {{"--json", "pool", "status"}, "\"pool\"", "no pool given"},
        {{"pool", "records", "--pool", "x", "--json"}, "\"pool\"", "pool records prints CSV"},
        {{"--json", "gang", "--units", "1"}, "\"gang\"", "not for gang"},
    };
    for (const usage_case& c : cases) {
        run_result r = run(c.args);
        const std::string name = c.args.front() + " " + c.args[1 % c.args.size()];
        EXPECT_EQ(r.exit_code, 2) << name;
        EXPECT_EQ(json_fields(r.output, {"ok", "command", "exit_code"}),
                  std::string("ok=false\ncommand=") + c.command + "\nexit_code=2\n")
            << name << "\n" << r.output;
        EXPECT_NE(json_fields(r.output, {"error"}).find(c.error), std::string::npos) << name << "\n" << r.output;
        EXPECT_NE(r.errors.find(c.error), std::string::npos) << name << "\n" << r.errors;
    }
}

// The global options before gang and pool: help on their own texts, --json as one object.
TEST_F(front_end, global_options_before_gang_and_pool)
{
    run_result gang_help = run({"--help", "gang"});
    EXPECT_EQ(gang_help.exit_code, 0);
    EXPECT_EQ(gang_help.output.rfind("usage: pelmo4rix gang", 0), 0u) << gang_help.output;
    run_result pool_help = run({"--json", "pool", "--help"});
    EXPECT_EQ(pool_help.exit_code, 0);
    EXPECT_EQ(json_fields(pool_help.output, {"ok", "command"}), "ok=true\ncommand=\"pool\"\n") << pool_help.output;
    EXPECT_NE(pool_help.output.find("\"usage\":\"usage: pelmo4rix pool init"), std::string::npos) << pool_help.output;
}

// The lines a terminal shows of `raw`: a carriage return goes back to the line's start, where
// what follows overwrites what stood there; blanks at a line's end are not shown.
std::vector<std::string> screen_lines(const std::string& raw)
{
    std::vector<std::string> lines(1);
    size_t column = 0;
    for (char c : raw) {
        if (c == '\r') {
            column = 0;
        } else if (c == '\n') {
            lines.emplace_back();
            column = 0;
        } else {
            std::string& line = lines.back();
            if (column < line.size())
                line[column] = c;
            else
                line += c;
            column++;
        }
    }
    for (std::string& line : lines)
        line.erase(line.find_last_not_of(' ') + 1);
    return lines;
}

// Each drawing of the bar: what follows a carriage return that is not a line end's.
std::vector<std::string> bar_drawings(const std::string& raw)
{
    std::vector<std::string> drawings;
    for (size_t at = raw.find('\r'); at != std::string::npos; at = raw.find('\r', at + 1))
        if (at + 1 < raw.size() && raw[at + 1] != '\n')
            drawings.push_back(raw.substr(at + 1, raw.find_first_of("\r\n", at + 1) - at - 1));
    return drawings;
}

// On a terminal: one bar on standard error, drawn over and over (at most ten times a second,
// and each phase's end), each drawing clearing what a longer one before it left. The test's
// clock takes in the program's whole run, so a busy machine only loosens the bound on the
// drawings.
TEST_F(front_end, flash_on_a_terminal_draws_a_progress_bar)
{
    vunit* unit = start_unit();
    session s;
    const auto start = std::chrono::steady_clock::now();
    ASSERT_TRUE(s.start("pelmo4rix", cwd.path, dev.path, {"flash"}));
    EXPECT_EQ(s.finish(), 0);
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    EXPECT_EQ(s.transcript.find("write: "), std::string::npos);
    expect_programmed(unit, DEFAULT_ADDRESS);

    std::vector<std::string> drawings = bar_drawings(s.raw);
    for (const char* end : {"erase  [####################] 100%  30/30 steps",
                            "write  [####################] 100%  1040384/1040384 bytes",
                            "verify [####################] 100%"}) {
        auto drawn = [&](const std::string& d) { return d.rfind(end, 0) == 0; };
        EXPECT_EQ(std::count_if(drawings.begin(), drawings.end(), drawn), 1) << end;
    }
    EXPECT_LE(drawings.size(), static_cast<size_t>(seconds * 10) + 4) << seconds << " s";
    size_t widest = 0;  // a line of 80 would wrap on an 80-column screen
    for (const std::string& d : drawings)
        widest = std::max(widest, d.find_last_not_of(' ') + 1);
    EXPECT_LE(widest, 79u);
    std::vector<std::string> lines = screen_lines(s.raw);
    EXPECT_NE(std::find(lines.begin(), lines.end(), "verify [####################] 100%"), lines.end()) << s.raw;
}

struct stop_case {
    const char* name;
    int signal;
    std::vector<std::string> args;
    std::function<bool(vunit*)> under_way;  // what the unit shows of the command at work
};

// Ctrl+C or SIGTERM: a clean end with 128 + the signal, the port free at once for the next
// program, and a trace file that holds every byte the unit sent.
TEST_F(front_end, stop_signals_end_cleanly)
{
    const stop_case cases[] = {
        {"Ctrl+C while tracing", SIGINT, {"trace"}, [](vunit* u) { return vunit_trace_sent(u).size() >= 200; }},
        {"SIGTERM while programming", SIGTERM, {"flash"}, [](vunit* u) { return frames_of_kind(u, CMD_WRITE_SECTOR) >= 4; }},
    };
    for (const stop_case& c : cases) {
        SCOPED_TRACE(c.name);
        vunit* unit = start_unit({"--write-ms", "16"});
        session s;
        ASSERT_TRUE(s.start("pelmo4rix", cwd.path, dev.path, c.args));
        for (int waited = 0; !c.under_way(unit); waited += 10) {
            ASSERT_LT(waited, 30000) << s.transcript;
            usleep(10000);
        }
        s.kill_now(c.signal);
        EXPECT_EQ(s.finish(5000), 128 + c.signal) << s.transcript;
        EXPECT_TRUE(open_unit_port()) << "the port is still held";
        reset_state();
        if (c.signal == SIGINT) {
            std::vector<uint8_t> sent = vunit_trace_sent(unit);
            EXPECT_EQ(read_file(cwd / "Pelmo4Rix.trace"), std::string(sent.begin(), sent.end()));
            EXPECT_GE(frames_of(unit, CMD_QUIT, 1), 1);
        }
        stop_unit(unit);
    }
}

// The image as a unit's flash file (1 MB: the rest erased), one byte changed in each sector
// of `changed`.
std::string image_flash(const temp_dir& dir, const std::vector<int>& changed)
{
    std::string flash(1024 * 1024, '\xFF');
    memcpy(&flash[0], firmware_image, IMAGE_SIZE);
    for (int s : changed)
        flash[static_cast<size_t>(s) * SECTOR_SIZE + 7] ^= 0x01;
    write_file(dir / "flash.bin", flash);
    return dir / "flash.bin";
}

// Flash sectors the unit was told to write, in order (the information sector as 253).
std::vector<int> sectors_written(vunit* unit)
{
    std::vector<int> sectors;
    for (const vunit_frame& f : vunit_frames(unit))
        if (f.kind == CMD_WRITE_SECTOR || f.kind == CMD_WRITE_BT_INFO)
            sectors.push_back(f.bytes[10] << 4 | f.bytes[9] >> 4);
    return sectors;
}

TEST_F(front_end, only_changed_reports_what_it_compared_skipped_and_wrote)
{
    const uint8_t held[6] = {0xef, 0xcd, 0xab, 3, 4, 6};
    vunit* unit = start_unit({"--flash-in", image_flash(cwd, {}), "--stored-address", "0604:03:abcdef"});
    run_result text = run({"flash", "--only-changed"});
    EXPECT_EQ(text.exit_code, 0) << text.errors;
    EXPECT_EQ(sectors_written(unit), std::vector<int>{0});
    expect_programmed(unit, held);
    for (const char* line : {"compared       253\n", "skipped        253\n", "written        1\n", "whole_plan     no\n"})
        EXPECT_NE(text.output.find(line), std::string::npos) << text.output;
    EXPECT_NE(text.errors.find("compare: 16 blocks\nerase: 1 step\nwrite: 4096 bytes\n"), std::string::npos)
        << "one sector erased and written, and said so\n" << text.errors;

    // Another address: the information sector too. The result is the last line of the events.
    run_result events = run({"--events", "flash", "--only-changed", "--address", "0604:03:000100"});
    EXPECT_EQ(events.exit_code, 0) << events.errors;
    EXPECT_EQ(sectors_written(unit), (std::vector<int>{0, 253, 0}));
    expect_programmed(unit, DEFAULT_ADDRESS);
    EXPECT_NE(events.output.find("{\"event\":\"progress\",\"phase\":\"compare\",\"step\":-1,\"total\":16}\n"),
              std::string::npos);
    EXPECT_NE(events.output.find("{\"event\":\"progress\",\"phase\":\"write\",\"step\":-1,\"total\":2}\n"),
              std::string::npos) << "the write phase counts the sectors written";
    std::string result = events.output.substr(events.output.rfind("\n{\"ok\"") + 1);
    EXPECT_EQ(json_fields(result, {"ok", "compared", "skipped", "written", "whole_plan"}),
              "ok=true\ncompared=253\nskipped=252\nwritten=2\nwhole_plan=false\n");
}

// Cut off after sector 0 was erased: the unit has no firmware to start and stays in its
// loader; the next run finds it there and restores it. Without firmware the unit tells no
// version, so no layout to read its address by: the run gives the address.
TEST_F(front_end, only_changed_unit_unplugged_after_sector_0_erase_is_restored_by_the_next_run)
{
    const uint8_t held[6] = {0xef, 0xcd, 0xab, 3, 4, 6};
    vunit* unit = start_unit({"--boot-from-flash", "--flash-in", image_flash(cwd, {70}), "--stored-address",
                              "0604:03:abcdef", "--fault", "unplug-after-sectors:1"});
    run_result cut = run({"flash", "--only-changed"});
    EXPECT_EQ(cut.exit_code, 11) << "the whole plan after the doubt finds no unit to unlock\n" << cut.errors;
    EXPECT_EQ(sectors_written(unit), std::vector<int>{70});
    std::vector<uint8_t> left = vunit_flash(unit);
    EXPECT_TRUE(std::all_of(left.begin(), left.begin() + SECTOR_SIZE, [](uint8_t b) { return b == 0xFF; }));
    write_file(cwd / "left.bin", std::string(left.begin(), left.end()));
    stop_unit(unit);

    vunit* again = start_unit({"--boot-from-flash", "--flash-in", cwd / "left.bin"});
    EXPECT_TRUE(vunit_in_loader(again));
    EXPECT_EQ(run({"version"}).exit_code, 6);  // no firmware answers: the unit stopped answering
    run_result restored = run({"flash", "--only-changed", "--address", "0604:03:abcdef"});
    EXPECT_EQ(restored.exit_code, 0) << restored.errors;
    EXPECT_NE(restored.output.find("address        0604:03:abcdef\n"), std::string::npos) << restored.output;
    EXPECT_EQ(sectors_written(again), std::vector<int>{0});
    expect_programmed(again, held);
    EXPECT_FALSE(vunit_in_loader(again));  // restarted into its firmware
}

}  // namespace
