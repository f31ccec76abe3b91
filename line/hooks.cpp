// The hook per unit and the labels: their options, their processes and their replay from the
// spool (see hooks.h; the spool's file in spool.cpp, the unit's facts in hook_facts.cpp).
#include "line/hooks.h"

#include <chrono>
#include <cstdio>
#include <deque>
#include <random>
#include <thread>

#include "common/exit_codes.h"
#include "common/os.h"
#include "common/text.h"
#include "line/spool.h"
#include "tools/file_os.h"

namespace {

using hook_clock = std::chrono::steady_clock;

constexpr int MAX_TIMEOUT_S = 3600;
constexpr int MAX_TCP_PORT = 65535;
constexpr int HOOKS_AT_ONCE = 4;   // slow hooks side by side, so that they keep up with the line
constexpr int LABELS_AT_ONCE = 1;  // a printer takes one job at a time, in the units' order
constexpr size_t OUTPUT_KEPT = 4096;  // of a hook's output, for its last line
constexpr int SERVE_MS = 20;          // between looks at deliveries being waited for
constexpr int EXIT_NOT_RUN = 127;     // a child whose command could not be run

struct running_delivery {
    delivery job;
    os_worker* process;
    hook_clock::time_point deadline;
    std::string output;
};

}  // namespace

struct hook_runner {
    hook_options options;
    std::vector<std::string> command;  // the hook's words
    std::string label_template;
    std::deque<delivery> queued;
    std::vector<running_delivery> running;
    std::vector<delivery_report> finished;  // reports not yet handed out
    unsigned next_id = 0;
};

namespace {

// Splits a command into words as a shell would, but expands nothing: blanks separate words,
// quotes group them, a backslash makes a quote, a backslash or a blank plain (other
// backslashes stay, as in Windows paths). 0 with `error` on an unclosed quote.
int split_command(const std::string& text, std::vector<std::string>& words, std::string& error)
{
    words.clear();
    std::string word;
    bool in_word = false;
    char quote = 0;
    for (size_t i = 0; i < text.size(); i++) {
        char c = text[i];
        bool escapable = i + 1 < text.size() && std::string("\"'\\ \t").find(text[i + 1]) != std::string::npos;
        if (c == '\\' && quote != '\'' && escapable) {
            word += text[++i];
            in_word = true;
        } else if (quote && c == quote) {
            quote = 0;
        } else if (!quote && (c == '"' || c == '\'')) {
            quote = c;
            in_word = true;
        } else if (!quote && (c == ' ' || c == '\t')) {
            if (in_word)
                words.push_back(word);
            word.clear();
            in_word = false;
        } else {
            word += c;
            in_word = true;
        }
    }
    if (quote) {
        error = "unclosed quote in --on-unit: " + text;
        return 0;
    }
    if (in_word)
        words.push_back(word);
    if (words.empty()) {
        error = "--on-unit needs a command";
        return 0;
    }
    return 1;
}

// tcp://HOST:PORT (an IPv6 host in brackets) into its parts; false when `to` is no such thing.
bool tcp_destination(const std::string& to, std::string& host, int& port)
{
    const std::string scheme = "tcp://";
    if (to.compare(0, scheme.size(), scheme) != 0)
        return false;
    std::string rest = to.substr(scheme.size());
    size_t colon = rest.rfind(':');
    if (colon == std::string::npos || !parse_count(rest.substr(colon + 1), 1, MAX_TCP_PORT, port))
        return false;
    host = rest.substr(0, colon);
    if (host.size() > 2 && host.front() == '[' && host.back() == ']')
        host = host.substr(1, host.size() - 2);
    return !host.empty();
}

// A name for a delivery that no other gang or run gives: the time, the process and a count.
std::string new_id(hook_runner* r)
{
    long long ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                       std::chrono::system_clock::now().time_since_epoch())
                       .count();
    static const unsigned run = std::random_device{}();  // two runs in the same millisecond differ here
    return std::to_string(ms) + "-" + std::to_string(run) + "-" + std::to_string(r->next_id++);
}

// --- running deliveries

std::vector<std::string> delivery_argv(const hook_runner* r, const delivery& d)
{
    if (d.kind == "label")
        return {os_program_path(), "gang", SEND_LABEL, d.target};
    std::vector<std::string> words;
    std::string ignored;
    if (d.from_spool)
        split_command(d.target, words, ignored);
    return d.from_spool ? words : r->command;
}

// The last line of what a failed process said, for its report.
std::string last_line(std::string output)
{
    while (!output.empty() && (output.back() == '\n' || output.back() == '\r'))
        output.pop_back();
    size_t start = output.find_last_of('\n');
    return start == std::string::npos ? output : output.substr(start + 1);
}

std::string exit_text(int code)
{
    if (code == EXIT_NOT_RUN)
        return "exit 127 (the command can't be run)";
    if (code > EXIT_SIGNAL_BASE)
        return "ended by signal " + std::to_string(code - EXIT_SIGNAL_BASE);
    return "exit " + std::to_string(code);
}

// A delivery that ended: reported, and kept in the spool when it failed (or marked delivered
// there when it came from it).
void report(hook_runner* r, const delivery& d, const std::string& result, const std::string& why)
{
    delivery_report rep{d.kind, result, d.port, d.address, why};
    if (result == "delivered") {
        if (d.from_spool && !spool_delivered(r->options.spool, d.id))
            rep.why = "delivered, but the spool " + r->options.spool + " can't be written: it may be sent again";
    } else if (!d.from_spool) {
        rep.why += spool_failed(r->options.spool, d) ? "; kept in " + r->options.spool
                                                                 : "; the spool " + r->options.spool + " can't be written: LOST";
    }
    r->finished.push_back(rep);
}

// A label to standard output is written at once: nothing there can hang.
void print_label(hook_runner* r, const delivery& d)
{
    bool ok = fwrite(d.input.data(), 1, d.input.size(), stdout) == d.input.size() && fflush(stdout) == 0;
    report(r, d, ok ? "delivered" : "failed", ok ? "" : "standard output can't be written");
}

bool may_start(const hook_runner* r, const delivery& d)
{
    int same = 0;
    for (const running_delivery& run : r->running)
        same += run.job.kind == d.kind;
    return same < (d.kind == "label" ? LABELS_AT_ONCE : HOOKS_AT_ONCE);
}

void start_waiting(hook_runner* r)
{
    for (auto it = r->queued.begin(); it != r->queued.end();) {
        if (!may_start(r, *it)) {
            ++it;
            continue;
        }
        delivery d = *it;
        it = r->queued.erase(it);
        if (d.kind == "label" && d.target == "-") {
            print_label(r, d);
            continue;
        }
        os_worker* process = os_hook_start(delivery_argv(r, d), d.environment, d.input);
        if (!process) {
            report(r, d, "failed", "can't be started");
            continue;
        }
        r->running.push_back({d, process, hook_clock::now() + std::chrono::seconds(r->options.timeout_s), ""});
    }
}

// One running delivery looked at: true when it has ended (and was reported). It has ended
// when its process has, whatever a child it left behind does with the output pipe.
bool check_running(hook_runner* r, running_delivery& run, hook_clock::time_point now)
{
    bool ended = os_worker_ended(run.process);
    os_worker_read(run.process, run.output);
    if (run.output.size() > OUTPUT_KEPT)
        run.output.erase(0, run.output.size() - OUTPUT_KEPT);
    if (!ended && now < run.deadline)
        return false;
    if (!ended)
        os_worker_kill(run.process);
    int code = os_worker_finish(run.process);
    std::string said = last_line(run.output);
    if (!ended)
        report(r, run.job, "timed_out", "no answer within " + std::to_string(r->options.timeout_s) + " s");
    else if (code != 0 && run.job.kind == "label" && !said.empty())
        report(r, run.job, "failed", said);  // the label process says itself what went wrong
    else if (code != 0)
        report(r, run.job, "failed", exit_text(code) + (said.empty() ? "" : ": " + said));
    else
        report(r, run.job, "delivered", "");
    return true;
}

void queue(hook_runner* r, delivery d)
{
    if (d.id.empty())
        d.id = new_id(r);
    r->queued.push_back(d);
}

// Serves `r` until nothing waits; the reports of what ended.
std::vector<delivery_report> serve_all(hook_runner* r)
{
    std::vector<delivery_report> reports;
    while (hooks_waiting(r) > 0) {
        for (delivery_report& rep : hooks_serve(r))
            reports.push_back(rep);
        if (hooks_waiting(r) > 0)
            std::this_thread::sleep_for(std::chrono::milliseconds(SERVE_MS));
    }
    return reports;
}

}  // namespace

const char HOOK_OPTIONS_HELP[] =
    "  --on-unit COMMAND  run COMMAND (no shell; quotes group words) for every\n"
    "                    finished unit: its facts in PELMO4RIX_* variables, its\n"
    "                    record line as JSON on standard input\n"
    "  --on-unit-timeout S  end a hook or a label's printing after S seconds\n"
    "                    (default 10)\n"
    "  --label TEMPLATE  a label per good unit from this text file with {address},\n"
    "                    {address_compact}, {port}, {station}, {time} and\n"
    "                    {image_version} filled in\n"
    "  --label-to TO     where labels go: tcp://HOST:PORT, a file or device, - for\n"
    "                    standard output\n"
    "  --hook-spool FILE  hooks and labels that failed, for --replay-hooks (default\n"
    "                    hook-spool.txt)\n";

bool is_hook_option(const std::string& name)
{
    return name == "--on-unit" || name == "--on-unit-timeout" || name == "--label" || name == "--label-to" ||
           name == "--hook-spool";
}

int set_hook_option(hook_options& options, const std::string& name, const std::string& value, std::string& error)
{
    std::vector<std::string> words;
    std::string host;
    int port = 0;
    if (name == "--on-unit" && !split_command(value, words, error))
        return 0;
    if (name == "--on-unit-timeout" && !parse_count(value, 1, MAX_TIMEOUT_S, options.timeout_s)) {
        error = "bad number for --on-unit-timeout: " + value + " (1 to " + std::to_string(MAX_TIMEOUT_S) + " seconds)";
        return 0;
    }
    if (name == "--label-to" && value.compare(0, 6, "tcp://") == 0 && !tcp_destination(value, host, port)) {
        error = "bad --label-to " + value + ": give tcp://HOST:PORT, e.g. tcp://192.168.1.50:9100";
        return 0;
    }
    if (name == "--on-unit")
        options.command = value;
    else if (name == "--label")
        options.label_file = value;
    else if (name == "--label-to")
        options.label_to = value;
    else if (name == "--hook-spool")
        options.spool = value;
    return 1;
}

int hooks_start(const hook_options& options, hook_runner*& runner, std::string& error)
{
    runner = nullptr;
    if (options.label_file.empty() != options.label_to.empty()) {
        error = options.label_file.empty() ? "--label-to needs --label TEMPLATE" : "--label needs --label-to TO";
        return 0;
    }
    std::string label_template;
    if (!options.label_file.empty()) {
        FILE* file = fopen(options.label_file.c_str(), "rb");
        if (!file) {
            error = "can't read the label template " + options.label_file;
            return 0;
        }
        char buffer[4096];
        for (size_t n; (n = fread(buffer, 1, sizeof buffer, file)) > 0;)
            label_template.append(buffer, n);
        fclose(file);
        if (!check_label_template(label_template, error)) {
            error = "the label template " + options.label_file + " has an " + error;
            return 0;
        }
    }
    if (options.command.empty() && options.label_file.empty())
        return 1;
    runner = new hook_runner;
    runner->options = options;
    runner->label_template = label_template;
    if (!options.command.empty() && !split_command(options.command, runner->command, error)) {
        hooks_stop(runner);
        runner = nullptr;
        return 0;
    }
    return 1;
}

void hooks_unit_done(hook_runner* r, const unit_facts& facts)
{
    if (!r)
        return;
    if (!r->options.command.empty())
        queue(r, {"", "hook", r->options.command, unit_json(facts) + "\n", unit_environment(facts), facts.port,
                  facts.address});
    if (!r->options.label_file.empty() && facts.result == "good")
        queue(r, {"", "label", r->options.label_to, render_label(r->label_template, facts), {}, facts.port,
                  facts.address});
}

std::vector<delivery_report> hooks_serve(hook_runner* r)
{
    if (!r)
        return {};
    start_waiting(r);
    const auto now = hook_clock::now();
    for (auto it = r->running.begin(); it != r->running.end();)
        it = check_running(r, *it, now) ? r->running.erase(it) : it + 1;
    std::vector<delivery_report> reports;
    reports.swap(r->finished);
    return reports;
}

int hooks_waiting(const hook_runner* r)
{
    return r ? static_cast<int>(r->queued.size() + r->running.size() + r->finished.size()) : 0;
}

void hooks_abort(hook_runner* r)
{
    if (!r)
        return;
    for (running_delivery& run : r->running) {
        os_worker_kill(run.process);
        os_worker_finish(run.process);
        report(r, run.job, "failed", "stopped");
    }
    r->running.clear();
    for (const delivery& d : r->queued)
        report(r, d, "failed", "not run: the gang was stopped");
    r->queued.clear();
}

void hooks_stop(hook_runner* r)
{
    hooks_abort(r);
    delete r;
}

std::string deliver_unit_hooks(hook_runner* r, const unit_facts& facts)
{
    hooks_unit_done(r, facts);
    std::string trouble;
    for (const delivery_report& rep : serve_all(r))
        if (rep.result != "delivered")
            trouble += (trouble.empty() ? "" : "; ") + delivery_trouble(rep) + ": " + rep.why;
    return trouble;
}

int replay_hooks(const std::string& spool, int timeout_s)
{
    os_file_lock* lock = os_lock_open((spool + ".lock").c_str());
    if (!lock || !os_lock_take(lock)) {
        fprintf(stderr, "pelmo4rix gang: the spool %s is being replayed by another program\n", spool.c_str());
        os_lock_close(lock);
        return EXIT_NOT_DELIVERED;
    }
    std::vector<delivery> jobs;
    if (!pending_jobs(spool, jobs)) {
        fprintf(stderr, "pelmo4rix gang: can't read the spool %s\n", spool.c_str());
        os_lock_close(lock);
        return EXIT_NOT_DELIVERED;
    }
    hook_runner r;
    r.options.spool = spool;
    r.options.timeout_s = timeout_s;
    for (const delivery& d : jobs)
        queue(&r, d);
    int failed = 0;
    for (const delivery_report& rep : serve_all(&r)) {
        bool ok = rep.result == "delivered";
        failed += !ok;
        printf("%s %s %s %s %s%s\n", utc_now().c_str(), rep.port.c_str(), rep.address.c_str(), rep.kind.c_str(),
               ok ? "delivered" : rep.result == "timed_out" ? "timed out again" : "failed again",
               rep.why.empty() ? "" : (": " + rep.why).c_str());
    }
    printf("replayed %zu from %s: %zu delivered, %d still there\n", jobs.size(), spool.c_str(), jobs.size() - failed,
           failed);
    os_lock_close(lock);
    return failed ? EXIT_NOT_DELIVERED : EXIT_OK;
}

int send_label(const std::string& to)
{
    std::string label;
    char buffer[4096];
    os_binary_input();
    for (size_t n; (n = fread(buffer, 1, sizeof buffer, stdin)) > 0;)
        label.append(buffer, n);
    std::string host, error;
    int port = 0;
    if (tcp_destination(to, host, port)) {
        if (os_tcp_send(host, port, label, error))
            return EXIT_OK;
        fprintf(stderr, "%s\n", error.c_str());
        return EXIT_NOT_DELIVERED;
    }
    FILE* file = fopen(to.c_str(), "ab");
    bool ok = file && fwrite(label.data(), 1, label.size(), file) == label.size();
    ok = file && fclose(file) == 0 && ok;
    if (!ok)
        fprintf(stderr, "%s can't be written\n", to.c_str());
    return ok ? EXIT_OK : EXIT_NOT_DELIVERED;
}
