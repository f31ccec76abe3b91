// What other systems hear of each finished unit: a hook command run for every unit with the
// unit's facts, and a label for every good unit. Each delivery is a process of its own with a
// time-out, so that none of them ever holds up programming; one that fails is kept in a spool
// file and sent again, once, with `pelmo4rix gang --replay-hooks FILE`.
//
// The spool is only ever appended to: a line per delivery that failed, and a line for each
// one delivered later, so that a gang and a replay may use it at the same time.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "tools/production_record.h"

constexpr char HOOK_SPOOL[] = "hook-spool.txt";  // beside the gang, unless --hook-spool
constexpr int HOOK_TIMEOUT_S = 10;               // a hook or a printer this slow is ended

struct hook_options {
    std::string command;             // --on-unit COMMAND, split into words as a shell would
    int timeout_s = HOOK_TIMEOUT_S;  // --on-unit-timeout S, for the labels too
    std::string label_file;          // --label TEMPLATE
    std::string label_to;            // --label-to tcp://HOST:PORT | FILE | -
    std::string spool = HOOK_SPOOL;  // --hook-spool FILE
};

// True when `name` is one of the options above (each takes a value).
bool is_hook_option(const std::string& name);
// Takes option `name` with `value`; 0 with `error` when the value is refused.
int set_hook_option(hook_options& options, const std::string& name, const std::string& value, std::string& error);
// The help lines of the options above, for the gang's and flash's usage texts.
extern const char HOOK_OPTIONS_HELP[];

// A finished unit as its hook and its label see it: the record's line and where it was made.
struct unit_facts {
    std::string result, time, port, address, station, image_version, image_checksum;
    int error_code = 0, attempts = 0;
    double seconds = 0;
    int64_t reservation = 0;  // with the shared pool; 0: none
    std::string downgraded_from;  // --allow-downgrade: the newer version the pool had recorded good
};
// The facts of the unit of `entry`, now, with the image in use.
unit_facts unit_facts_of(const production_entry& entry, const std::string& station, int64_t reservation);
// The record's line as one JSON object, without a line end.
std::string unit_json(const unit_facts& facts);
// The facts as PELMO4RIX_RESULT=good and its siblings.
std::vector<std::string> unit_environment(const unit_facts& facts);

// 1 when every placeholder of the label template `text` is known; 0 with `error` naming the
// first that is not. "{{" and "}}" stand for the braces themselves.
int check_label_template(const std::string& text, std::string& error);
// The template with its placeholders filled with the unit's facts.
std::string render_label(const std::string& text, const unit_facts& facts);

// How one delivery ended, for the event lines, the table, the page and the metrics.
struct delivery_report {
    std::string kind;    // "hook" or "label"
    std::string result;  // "delivered", "failed" or "timed_out"
    std::string port, address;
    std::string why;     // of a failure: what went wrong and where the delivery waits now
};

// What the table and the page say of a delivery that failed ("hook failed", "hook timed out",
// "label not printed"); empty for one delivered.
std::string delivery_trouble(const delivery_report& rep);

struct hook_runner;
// Checks the options (the command, the template and its placeholders, where labels go) and
// starts a runner into `runner`, nullptr when no option asks for one; 0 with `error` when an
// option can't be used.
int hooks_start(const hook_options& options, hook_runner*& runner, std::string& error);
// The unit's hook, and its label when it is good, queued to run; nothing on nullptr.
void hooks_unit_done(hook_runner* runner, const unit_facts& facts);
// Starts what waits and ends what has ended or run out of time, without waiting; the reports
// of the deliveries that ended. A failed one is in the spool by then.
std::vector<delivery_report> hooks_serve(hook_runner* runner);
// Deliveries running or waiting to run.
int hooks_waiting(const hook_runner* runner);
// Ends the running deliveries and puts them and those still waiting in the spool.
void hooks_abort(hook_runner* runner);
void hooks_stop(hook_runner* runner);  // frees the runner; harmless on nullptr

// Runs the hooks of one unit and waits for them (each within its time-out): what failed, in
// one line, or empty when all was delivered. For a command that ends with its unit.
std::string deliver_unit_hooks(hook_runner* runner, const unit_facts& facts);

// `pelmo4rix gang --replay-hooks FILE`: delivers each delivery of the spool not delivered yet,
// once; those that fail again stay. The exit code.
int replay_hooks(const std::string& spool, int timeout_s);

// `pelmo4rix gang --send-label TO`, the label's own process: standard input to TO.
constexpr char SEND_LABEL[] = "--send-label";
int send_label(const std::string& to);
