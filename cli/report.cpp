// Results on standard output, as text or as one JSON object; failures on standard error.
#include <algorithm>
#include <cstdio>

#include "cli/cli.h"
#include "cli/os.h"
#include "link/state.h"

void add_text(result& r, const std::string& key, const std::string& value)
{
    // Shown with its control characters escaped: a file's text must not drive the terminal.
    r.fields.push_back({key, json_string(value), shown_text(value)});
}

void add_number(result& r, const std::string& key, long long value)
{
    r.fields.push_back({key, std::to_string(value), std::to_string(value)});
}

void add_flag(result& r, const std::string& key, bool value)
{
    r.fields.push_back({key, value ? "true" : "false", value ? "yes" : "no"});
}

void add_null(result& r, const std::string& key, const std::string& text)
{
    r.fields.push_back({key, "null", text});
}

void add_json(result& r, const std::string& key, const std::string& json, const std::string& text)
{
    r.fields.push_back({key, json, text});
}

namespace {

void print_json(const std::string& command, bool ok, const std::vector<result_field>& fields)
{
    // A command line that named no known command has none to report.
    std::string out = "{\"ok\":" + std::string(ok ? "true" : "false") +
                      ",\"command\":" + (command.empty() ? "null" : json_string(command));
    for (const result_field& field : fields)
        out += "," + json_string(field.key) + ":" + field.json;
    printf("%s}\n", out.c_str());
}

}  // namespace

void print_result(const cli_options& options, const result& r)
{
    if (options.json) {
        print_json(options.command, true, r.fields);
        return;
    }
    // A text that ends its own lines is a table, shown as it stands.
    auto table = [](const result_field& field) { return !field.text.empty() && field.text.back() == '\n'; };
    size_t width = 0;
    for (const result_field& field : r.fields)
        if (!table(field))
            width = std::max(width, field.key.size());
    for (const result_field& field : r.fields) {
        if (table(field))
            printf("%s", field.text.c_str());
        else
            printf("%-*s  %s\n", static_cast<int>(width), field.key.c_str(), field.text.c_str());
    }
}

int report_failure(const cli_options& options, int code, const std::string& message, const result& details)
{
    fprintf(stderr, "pelmo4rix: %s\n", shown_text(message).c_str());
    fflush(stderr);  // before the result on standard output, also where lines are not flushed
    if (options.json) {
        result r;
        add_number(r, "exit_code", code);
        add_text(r, "error", message);
        r.fields.insert(r.fields.end(), details.fields.begin(), details.fields.end());
        print_json(options.command, false, r.fields);
    }
    return code;
}

bool option_value(int argc, char** argv, int& i, std::string& name, std::string& value, std::string& error)
{
    const std::string arg = argv[i];
    const size_t eq = arg.find('=');
    name = arg.substr(0, eq);
    if (eq != std::string::npos)
        value = arg.substr(eq + 1);
    else if (i + 1 < argc)
        value = argv[++i];
    else {
        error = "option " + name + " needs a value";
        return false;
    }
    return true;
}

bool json_asked(int argc, char** argv)
{
    for (int i = 1; i < argc; i++)
        if (std::string(argv[i]) == "--json" || std::string(argv[i]) == "--events")
            return true;
    return false;
}

int report_usage_error(const cli_options& options, const std::string& who, const std::string& message,
                       const std::string& usage)
{
    fprintf(stderr, "%s: %s\n%s", who.c_str(), message.c_str(), usage.c_str());
    fflush(stderr);
    if (options.json) {
        result r;
        add_number(r, "exit_code", EXIT_USAGE);
        add_text(r, "error", message);
        print_json(options.command, false, r.fields);
    }
    return EXIT_USAGE;
}

void print_help(const cli_options& options, const std::string& text)
{
    if (!options.json) {
        printf("%s", text.c_str());
        return;
    }
    result r;
    add_text(r, "usage", text);
    print_json(options.command, true, r.fields);
}

int report_refusal(const cli_options& options, int code, const std::string& message, const result& r)
{
    if (!options.json) {
        result shown = r;
        add_text(shown, "reason", message);
        print_result(options, shown);
        fflush(stdout);
    }
    return report_failure(options, code, message, r);
}

// What a person is told about a failed step, by its error_code.
std::string failure_text(int code)
{
    switch (code) {
    case 4: return "writing to the port failed";
    case 6: return "the unit stopped answering";
    case 7: return "the unit did not answer the probe";
    case 8: return "the unit's loader did not answer the handshake";
    case 9: return "the unit refused the speed change";
    case 10: return "the port could not be set to 1000000 baud";
    case 11: case 12: case 13: return "the flash could not be unlocked";
    case 14: return "erasing the flash failed";
    case 15: case 18: return "writing a flash sector failed";
    case 16: return "writing the information sector failed";
    case 19: return "the unit did not report its checksum";
    case 20: return "the unit's checksum differs from the image's";
    default: return "programming failed";
    }
}

int fail_step(const cli_options& options, int own, const std::string& message)
{
    if (stop_signal())
        return report_failure(options, EXIT_SIGNAL_BASE + stop_signal(), "stopped");
    return report_failure(options, error_code ? error_code : own, message);
}

std::string address_text(const uint8_t address[6])
{
    char text[16];
    snprintf(text, sizeof text, "%02x%02x:%02x:%02x%02x%02x", address[5], address[4], address[3], address[2], address[1],
             address[0]);
    return text;
}
