// The scriptable front end `pelmo4rix`: one command per run over the device layer, results on
// standard output (text or JSON), the services' messages and the progress on standard error,
// and an exit code that says what failed.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "common/exit_codes.h"
#include "common/text.h"
#include "image/package.h"
#include "line/hooks.h"

enum address_source { ADDRESS_KEEP, ADDRESS_GIVEN, ADDRESS_FROM_FILE, ADDRESS_FROM_POOL };

struct cli_options {
    std::string port;      // --port: only this port; empty: discovery
    bool json = false;     // --json: one JSON object on standard output
    bool quiet = false;    // --quiet: no service messages, no progress
    bool events = false;   // --events: progress as JSON lines on standard output (implies --json)
    bool help = false;     // --help, alone or after a command
    bool version = false;  // --version
    std::string command;
    int command_at = 0;    // gang, pool: argv's index of the command, whose own command line follows

    // flash
    std::string image_file;  // --image FILE (also the FILE of `image`); empty: built-in
    std::vector<std::string> trust;  // --trust FILE (flash, image): trusted keys besides the usual places
    bool allow_unsigned = false;     // --allow-unsigned (flash, image): a raw image file may be used
    std::string min_version;         // --min-version V (flash, image): no package older than V
    bool allow_downgrade = false;    // --allow-downgrade (flash --pool): older than the pool's newest good image
    address_source address = ADDRESS_KEEP;
    bool address_chosen = false;    // one of the three address options was given
    uint8_t given_address[6] = {};  // --address, in bt_address order
    std::string address_file;       // --address-file FILE
    std::string pool;               // --pool URL (or PELMO4RIX_POOL when no address option is given)
    std::string station;            // --station NAME: in the pool's record; default the host name
    bool restart = true;            // cleared by --no-restart
    int attempts = 1;               // --attempts N
    bool only_changed = false;      // --only-changed: erase and write only the sectors that differ
    unsigned baud = BAUD_LOWEST;    // --baud RATE (or PELMO4RIX_BAUD): the loader's line rate asked for
    bool baud_given = false;        // --baud or PELMO4RIX_BAUD was given
    bool write_blank = false;       // --write-blank: send the image's blank sectors too
    hook_options hooks;             // --on-unit, --label, ...: other systems hear of the unit

    // trace
    std::string trace_out = "Pelmo4Rix.trace";  // --out FILE, "-" for standard output
    int seconds = 0;                            // --seconds N; 0: until Ctrl+C
};

// NAP:UAP:LAP with 4, 2 and 6 hexadecimal digits into `address`, in bt_address byte order.
bool parse_address(const std::string& text, uint8_t address[6]);
// Fills `options` from the command line; 0 with a one-line `error` on a usage error. For gang
// pool and package it stops at the command: their own parsers take the rest.
int parse_options(int argc, char** argv, cli_options& options, std::string& error);
// The help text of a command, or of the program for an empty command.
std::string usage_text(const std::string& command);
// An option of a command's own command line at argv[i], as `--name=value` or `--name value`
// (then i moves on to the value); false with `error` when the value is missing.
bool option_value(int argc, char** argv, int& i, std::string& name, std::string& value, std::string& error);
std::string pool_usage();
std::string package_usage();
// Whether --json or --events stands anywhere on the command line: a usage error is then
// reported as JSON too, wherever the parser stopped.
bool json_asked(int argc, char** argv);

// One command's result, printed as "key  value" lines or as one JSON object.
struct result_field {
    std::string key;
    std::string json;  // the value as JSON
    std::string text;  // the value as a person reads it
};
struct result {
    std::vector<result_field> fields;
};
void add_text(result& r, const std::string& key, const std::string& value);
void add_number(result& r, const std::string& key, long long value);
void add_flag(result& r, const std::string& key, bool value);
void add_null(result& r, const std::string& key, const std::string& text);
void add_json(result& r, const std::string& key, const std::string& json, const std::string& text);
// Prints the result of a command that succeeded (or answered its question) on standard output.
void print_result(const cli_options& options, const result& r);
// Reports a failure: the message on standard error, and with --json the JSON object (with
// `details`) on standard output. Returns `code`.
int report_failure(const cli_options& options, int code, const std::string& message, const result& details = {});
// Reports a usage error: `who`, the message and `usage` on standard error, and with --json the
// JSON object on standard output. Returns the usage exit code.
int report_usage_error(const cli_options& options, const std::string& who, const std::string& message,
                       const std::string& usage);
// Prints a help text on standard output, with --json as the `usage` field of one object.
void print_help(const cli_options& options, const std::string& text);
// Reports a refusal of a command that answers a question (is this file good?): the answer `r`
// on standard output too, with the reason, then as report_failure. Returns `code`.
int report_refusal(const cli_options& options, int code, const std::string& message, const result& r);
// Reports a failed device step (call with error_code cleared before the step): exit code
// error_code, or `own` when the step set none; a stop signal wins over both.
int fail_step(const cli_options& options, int own, const std::string& message);
// Warns on standard error of each key file skipped (unless --quiet).
void warn_skipped_keys(const cli_options& options, const trusted_key_set& keys);
// The keys a package was checked against and the key files skipped, as fields of a result.
void add_trusted_keys(result& r, const trusted_key_set& keys);
// What a person is told about a failed device step, by its error_code.
std::string failure_text(int code);

// Address in the text form NAP:UAP:LAP (0604:03:000100), from bt_address byte order.
std::string address_text(const uint8_t address[6]);

// The commands; each returns the program's exit code.
int command_ports(const cli_options& options);
int command_version(const cli_options& options);
int command_address(const cli_options& options);
int command_params(const cli_options& options);
int command_image(const cli_options& options);
int command_flash(const cli_options& options);
int command_trace(const cli_options& options);
// `pelmo4rix pool ...`: argv[0] is "pool"; `globals` holds the options given before it
// (--json, --quiet). Returns the exit code.
int pool_main(int argc, char** argv, const cli_options& globals);
// `pelmo4rix package ...`: argv[0] is "package"; `globals` holds the options given before it. Returns the exit code.
int package_main(int argc, char** argv, const cli_options& globals);

// Finds the unit (or probes --port only) and opens its port at 115200 baud; 0 or the exit
// code of the failure, reported.
int open_unit(const cli_options& options);

// Progress of program_flash on standard error: a bar on a terminal, a line per phase
// otherwise, nothing with --quiet; with `events` a JSON line per report on standard output
// instead, for a program that supervises this one. Also where a stop signal ends the
// programming.
void use_progress_display(bool quiet, bool events);
// With events on: a JSON line that programming attempt `attempt` begins.
void report_attempt(int attempt);
// Ends a bar line left open by a programming that stopped half-way.
void end_progress_display();
