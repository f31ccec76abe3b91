// The trace command: turns the unit's debug port on and copies what it sends, byte for byte,
// to a file or to standard output, for a given time or until Ctrl+C.
#include <chrono>
#include <cstdio>

#include "cli/cli.h"
#include "cli/os.h"
#include "device/device.h"
#include "link/exchange.h"
#include "link/os_port.h"
#include "link/pause.h"
#include "link/port.h"
#include "link/state.h"
#include "tools/file_os.h"

namespace {

constexpr int TRACE_READ = 256;           // bytes asked for by one read
constexpr int DEBUG_TRIES = 3;
constexpr int DEBUG_SETTLE_MS = 500;      // around "/d": the unit needs the time to start its trace
constexpr int DEBUG_ENABLED_BYTES = 100;  // a try that brings this much has turned the trace on
constexpr int DRAIN_MS = 2000;            // reading until quiet: a unit that keeps sending is left at that

struct trace_copy {
    FILE* out;
    long long bytes = 0;
    bool write_failed = false;
};

// One read from the unit, copied out (or dropped without a copy); the bytes read.
long copy_chunk(trace_copy* copy)
{
    uint8_t buffer[TRACE_READ];
    long n = os_port_read(port_handle, buffer, sizeof buffer);
    if (n <= 0 || !copy)
        return n < 0 ? 0 : n;
    if (fwrite(buffer, 1, static_cast<size_t>(n), copy->out) != static_cast<size_t>(n))
        copy->write_failed = true;
    copy->bytes += n;
    return n;
}

// Reads until the line is quiet, or for at most DRAIN_MS when the unit keeps sending.
void read_until_quiet(trace_copy* copy)
{
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(DRAIN_MS);
    while (!(copy && copy->write_failed) && std::chrono::steady_clock::now() < end && copy_chunk(copy) > 0) {
    }
}

// As the trace capture tool does it: "/v" to wake the firmware, then up to three "/d", each
// followed by "/q" when it brought too little.
bool enable_debug_port(trace_copy& copy)
{
    run_command(CMD_VERSION_NOREPLY);
    read_until_quiet(nullptr);  // the version line, however slowly it comes, is no trace
    for (int k = 1; k <= DEBUG_TRIES && !stop_signal(); k++) {
        pause_ms(DEBUG_SETTLE_MS);
        run_command(CMD_DEBUG_ON);
        pause_ms(DEBUG_SETTLE_MS);
        if (copy_chunk(&copy) >= DEBUG_ENABLED_BYTES)
            return true;
        run_command(CMD_QUIT);
    }
    return false;
}

// Copies until the time is up, a stop signal came or the output failed; then stops the trace.
void log_trace(const cli_options& options, trace_copy& copy)
{
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(options.seconds);
    while (!stop_signal() && !copy.write_failed && (options.seconds == 0 || std::chrono::steady_clock::now() < end))
        copy_chunk(&copy);
    run_command(CMD_QUIT);
}

FILE* open_output(const cli_options& options)
{
    if (options.trace_out == "-") {
        binary_standard_output();
        return stdout;
    }
    return os_file_open(options.trace_out.c_str(), "wb");
}

}  // namespace

int command_trace(const cli_options& options)
{
    const bool to_stdout = options.trace_out == "-";
    int code = open_unit(options);
    if (code != EXIT_OK)
        return code;  // an earlier trace file stays as it was
    trace_copy copy{open_output(options)};
    if (!copy.out) {
        close_port();
        return report_failure(options, EXIT_TRACE_FILE,
                              "can't create " + options.trace_out +
                                  (os_file_is_link(options.trace_out.c_str()) ? " (a symbolic link: refused)" : ""));
    }
    // Unbuffered: what was read is in the file at once, even if the program is killed.
    setvbuf(copy.out, nullptr, _IONBF, 0);
    query_fw_version();  // shown on standard error; the trace does not depend on it
    if (enable_debug_port(copy))
        log_trace(options, copy);
    else
        code = stop_signal() ? fail_step(options, EXIT_NO_TRACE, "")
                             : report_failure(options, EXIT_NO_TRACE, "the unit's debug port did not come on");
    // What the unit sent before the "/q" reached it belongs to the trace, and the "/q" must
    // have left before closing the port drops what is unsent.
    read_until_quiet(&copy);
    close_port();
    if ((!to_stdout && fclose(copy.out) != 0) || (to_stdout && fflush(stdout) != 0))
        copy.write_failed = true;
    if (code != EXIT_OK)
        return code;
    if (copy.write_failed)
        return report_failure(options, EXIT_TRACE_FILE, "writing the trace to " + options.trace_out + " failed");

    result r;
    add_text(r, "port", found_port_name);
    add_text(r, "out", to_stdout ? "standard output" : options.trace_out);
    add_number(r, "bytes", copy.bytes);
    add_flag(r, "stopped", stop_signal() != 0);
    if (!to_stdout)
        print_result(options, r);
    else if (!options.quiet)
        fprintf(stderr, "pelmo4rix: %lld bytes of trace\n", copy.bytes);
    return stop_signal() ? EXIT_SIGNAL_BASE + stop_signal() : EXIT_OK;
}
