// Figures of the tools against the limits of the serial line and of the unit's flash,
// measured against the virtual unit at line rate over a real pseudo-terminal. Prints a table:
// the median and the spread of several runs, the limit a figure is held against and their
// ratio. The tests never time anything; this program does nothing else.
//   usage: link_bench [--runs N] [--trace-seconds S] [SECTION...]
//   sections: line timeouts program changed speed adapter tools discovery trace memory (default: all)
#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "bench.h"
#include "device/device.h"
#include "device/flash_layout.h"
#include "image/image.h"
#include "link/discovery.h"
#include "link/exchange.h"
#include "link/frames.h"
#include "link/os_port.h"
#include "link/port.h"
#include "link/state.h"
#include "tools/tools.h"
#include "vunit/vunit.h"

namespace {

struct options {
    int runs = 5;
    int trace_seconds = 30;
};

std::string device_dir;  // the benchmark's own device directory

vunit* start_unit(vunit_config config, const std::string& name = "COM7")
{
    config.device_dir = device_dir;
    config.name = name;
    std::string error;
    vunit* unit = vunit_start(config, error);
    if (!unit) {
        fprintf(stderr, "link_bench: %s\n", error.c_str());
        exit(1);
    }
    return unit;
}

void write_port_list(const std::vector<std::string>& names)
{
    FILE* list = fopen((device_dir + "/SERIALCOMM").c_str(), "w");
    for (const std::string& name : names)
        fprintf(list, "%s\n", name.c_str());
    fclose(list);
}

bool open_unit(const char* name = "COM7")
{
    return open_port(name) && configure_port(BAUD_DEFAULT) && set_port_mask();
}

std::string text(const char* format, double a, double b = 0, double c = 0)
{
    char out[160];
    snprintf(out, sizeof out, format, a, b, c);
    return out;
}

double line_ms(size_t bytes, uint32_t baud) { return 10.0 * double(bytes) * 1000 / baud; }

uint32_t le32(const std::vector<uint8_t>& bytes, size_t at)
{
    return bytes[at] | bytes[at + 1] << 8 | bytes[at + 2] << 16 | uint32_t(bytes[at + 3]) << 24;
}

// ---- The line -------------------------------------------------------------------------------

// The probe's exchange against an instant unit (the pseudo-terminal's own cost, the floor
// under every exchange) and against the line at 115200.
void bench_exchange(const options& o)
{
    for (bool line_rate : {false, true}) {
        figure each;
        vunit_config config;
        config.line_rate = line_rate;
        vunit* unit = start_unit(config);
        open_unit();
        for (int run = 0; run < o.runs; run++) {
            auto start = bench_clock::now();
            for (int i = 0; i < 100; i++)
                run_command(CMD_PROBE);
            each.runs.push_back(ms_since(start) / 100);
        }
        close_port();
        vunit_stop(unit);
        if (line_rate)
            print_row("probe exchange at 115200", each, "ms", line_ms(5 + 8, BAUD_DEFAULT));
        else
            print_row("probe exchange, instant unit", each, "ms", 0, "the pseudo-terminal's own cost");
    }
}

// The gaps between the bytes of a reply of `length` bytes, read one byte at a time; empty
// when the reply did not come whole within `within_ms`.
figure gaps_in_reply(size_t length, double within_ms)
{
    figure gaps;
    uint8_t byte;
    size_t got = 0;
    auto last = bench_clock::now();
    for (auto begin = last; got < length && ms_since(begin) < within_ms;) {
        if (os_port_read(port_handle, &byte, 1) != 1)
            continue;
        if (got++ > 0)  // the first byte starts the watch
            gaps.runs.push_back(ms_since(last));
        last = bench_clock::now();
    }
    return got == length ? gaps : figure{};
}

// A reply of 4110 bytes (a sector read in the old layout) as the exchange reads it, and once
// more a byte at a time to see the gaps inside it.
void bench_line(const options& o)
{
    bench_exchange(o);
    for (uint32_t baud : {BAUD_DEFAULT, BAUD_LOADER}) {
        figure total, reads, typical, widest, wide_gaps;
        const size_t reply = 4110;
        const double limit = line_ms(reply + 12, baud);
        for (int run = 0; run < o.runs; run++) {
            vunit_config config;
            config.line_rate = true;
            config.version = "205";
            vunit* unit = start_unit(config);
            {
                quiet_stdout quiet;
                open_unit();
                if (baud == BAUD_LOADER)
                    enter_boot_mode();
                else
                    run_command(CMD_HANDSHAKE);  // the loader at 115200
            }
            new_flash_layout = 0;
            flash_read_address = 0x7E000;
            port_reads = {};
            auto start = bench_clock::now();
            run_command(CMD_READ_PARAMS);
            total.runs.push_back(ms_since(start));
            reads.runs.push_back(double(port_reads.reads));

            send_command(CMD_READ_PARAMS);
            figure gaps = gaps_in_reply(reply, 3 * limit);
            typical.runs.push_back(gaps.median());
            widest.runs.push_back(gaps.max());
            auto wide = std::count_if(gaps.runs.begin(), gaps.runs.end(), [](double g) { return g > 0.2; });
            wide_gaps.runs.push_back(double(wide));
            reset_state();
            vunit_stop(unit);
        }
        const std::string at = baud == BAUD_DEFAULT ? " at 115200" : " at 1000000";
        print_row("4110-byte reply, frame to last byte" + at, total, "ms", limit);
        print_row("  reads of 256-byte chunks it took" + at, reads, "", 17, "17 when no gap ends a read early");
        print_row("  median gap inside it" + at, typical, "ms", 0, "bytes read one at a time");
        print_row("  widest gap inside it" + at, widest, "ms", 0, "the read-interval time-out is 1 ms");
        print_row("  gaps above 0.2 ms inside it" + at, wide_gaps, "", 0, "of 4109");
    }
}

// How soon a port read ends: on its count (the bytes already there), on the quiet gap after
// fewer bytes than asked, and on its total time-out of n + 1 ms when nothing comes. The port
// test holds only the least of these waits; how much longer they take is measured here.
void bench_timeouts(const options& o)
{
    // A pseudo-terminal pair of our own: its far side writes what the port reads.
    const int master = posix_openpt(O_RDWR | O_NOCTTY);
    const char* name = master >= 0 && grantpt(master) == 0 && unlockpt(master) == 0 ? ptsname(master) : nullptr;
    const int terminal = name ? open(name, O_RDWR | O_NOCTTY) : -1;  // held: the port's close never hangs it up
    termios raw;
    cfmakeraw(&raw);
    const std::string link = device_dir + "/COM30";
    if (terminal < 0 || tcsetattr(terminal, TCSANOW, &raw) != 0 || symlink(name, link.c_str()) != 0 ||
        !open_port("COM30") || !configure_port(BAUD_DEFAULT)) {
        print_note("read time-outs: no pseudo-terminal to read from");
        return;
    }
    const uint8_t bytes[10] = {};
    uint8_t buffer[300];
    figure counted, gap, nothing;
    auto timed_read = [&](figure& f, size_t n) {
        auto start = bench_clock::now();
        os_port_read(port_handle, buffer, n);
        f.runs.push_back(ms_since(start));
    };
    for (int run = 0; run < o.runs; run++) {
        if (write(master, bytes, 10) != 10 || usleep(20000) != 0)
            break;
        timed_read(counted, 10);
        if (write(master, bytes, 5) != 5 || usleep(20000) != 0)
            break;
        timed_read(gap, 290);
        timed_read(nothing, 200);
    }
    close_port();
    close(terminal);
    close(master);
    unlink(link.c_str());
    print_row("read of 10 bytes that are there", counted, "ms", 0, "ends on its count");
    print_row("read of 290 bytes when 5 came", gap, "ms", 0, "ends on the quiet gap");
    print_row("read of 200 bytes when none come", nothing, "ms", 201, "the total time-out, n + 1 ms");
}

// ---- Programming ----------------------------------------------------------------------------

struct program_run {
    bool ok = false;
    double ms = 0, limit_ms = 0;
    double write_ms = 0;  // median time of one sector's write exchange
    int exchanges = 0, resends = 0;
    long empty_reads = 0;
};

// Wire time of a frame and of the reply it awaits, plus the flash's busy time after it.
double frame_limit_ms(const vunit_frame& f, const flash_timings& flash)
{
    uint8_t frame[FRAME_MAX];
    int32_t reply = 0;
    sector_index = 1;  // any sector: the reply length of a write is the same
    build_frame(f.kind, frame, reply);
    double ms = line_ms(f.bytes.size() + size_t(reply), f.baud);
    if (f.kind == CMD_ERASE_FLASH)
        ms += f.bytes[8] == 0x20 ? flash.erase_sector_ms : flash.erase_block_ms;
    else if (f.kind == CMD_WRITE_SECTOR || f.kind == CMD_WRITE_BT_INFO)
        ms += flash.write_ms;
    else if (f.kind == CMD_VERIFY_FLASH)  // the checksum's time goes with the bytes it covers
        ms += flash.crc_ms * (double(le32(f.bytes, 9)) - le32(f.bytes, 5) + 1) / CHECKSUM_END;
    return ms;
}

// When each sector's write began, noted through the programming's progress reports.
std::vector<bench_clock::time_point> write_starts;

void note_write_start(flash_phase phase, int step, int total)
{
    if (phase == PHASE_WRITE && step >= 0 && step <= total)
        write_starts.push_back(bench_clock::now());
}

// The line rate asked for and what the unit's loader does with it; by default the tools' way.
struct line_setup {
    uint32_t baud = BAUD_LOADER;      // asked for (enter_boot_mode_fast)
    bool skip_blank = false;          // blank image sectors left to the erase
    uint32_t max_baud = BAUD_LOADER;  // the fastest rate the unit's loader takes
    const char* fault = "ignore";     // what it does when asked for more
};

// One unit programmed from boot mode entry to the checksum reply, with the image version
// that chooses the plan; the limit from the frames the unit took in, a frame sent again
// counted once.
program_run program_once(const char* version, int flash_mbit, int adapter_latency_ms, const line_setup& line = {})
{
    vunit_config config;
    config.line_rate = true;
    config.flash_mbit = flash_mbit;
    config.adapter_latency_ms = adapter_latency_ms;
    config.max_baud = line.max_baud;
    config.baud_fault = line.fault;
    vunit* unit = start_unit(config);
    image_version = version;
    program_run r;
    open_unit();
    port_reads = {};
    write_starts.clear();
    flash_progress = note_write_start;
    {
        quiet_stdout quiet;
        auto start = bench_clock::now();
        uint32_t reached = 0;
        r.ok = enter_boot_mode_fast(line.baud, reached) && program_whole_flash(line.skip_blank);
        r.ms = ms_since(start);
    }
    flash_progress = print_progress_dots;
    figure writes;
    for (size_t i = 1; i < write_starts.size(); i++)
        writes.runs.push_back(std::chrono::duration<double, std::milli>(write_starts[i] - write_starts[i - 1]).count());
    r.write_ms = writes.median();
    r.empty_reads = port_reads.empty;
    close_port();
    const std::vector<vunit_frame> frames = vunit_frames(unit);
    for (size_t i = 0; i < frames.size(); i++) {
        if (i > 0 && frames[i].bytes == frames[i - 1].bytes)
            r.resends++;
        else
            r.limit_ms += frame_limit_ms(frames[i], typical_flash);
    }
    r.exchanges = int(frames.size()) - r.resends;
    vunit_stop(unit);
    reset_state();
    return r;
}

// Returns the ratio of the median time to the limit; `median_s` receives the median time.
double program_row(const options& o, const std::string& what, const char* version, int flash_mbit, int latency_ms,
                   double* median_s = nullptr, const line_setup& line = {})
{
    figure measured, limit, empty, write;
    int failures = 0, resends = 0, exchanges = 0;
    for (int run = 0; run < o.runs; run++) {
        program_run r = program_once(version, flash_mbit, latency_ms, line);
        failures += !r.ok;
        resends += r.resends;
        exchanges = r.exchanges;
        measured.runs.push_back(r.ms / 1000);
        limit.runs.push_back(r.limit_ms / 1000);
        empty.runs.push_back(double(r.empty_reads));
        write.runs.push_back(r.write_ms);
    }
    const double write_limit = line_ms(FRAME_MAX + 15, std::min(line.baud, line.max_baud)) + typical_flash.write_ms;
    std::string note = text("%.2f ms more an exchange (a write: median %.2f ms more); %.0f empty read tries a run; ",
                            (measured.median() - limit.median()) * 1000 / exchanges, write.median() - write_limit,
                            empty.median()) +
                       std::to_string(resends) + " frames sent again, " + std::to_string(failures) + " failed runs";
    print_row(what, measured, "s", limit.median(), note);
    if (median_s)
        *median_s = measured.median();
    return measured.median() / limit.median();
}

void bench_program(const options& o)
{
    double plan8 = program_row(o, "programming, 8 Mbit plan (253 sectors)", "6.05", 8, 0);
    double plan4 = program_row(o, "programming, 4 Mbit plan (125 sectors)", "2.05", 4, 0);
    print_note(text("Programming against the wire and flash limit: %.3f on the 8 Mbit plan, %.3f on the 4 Mbit "
                    "plan (goal: 1.01 or less).", plan8, plan4));
    print_note("The tool waits nowhere between frames; what a write exchange takes beyond its wire and flash time "
               "is the pseudo-terminal's hop (the instant unit's exchange above); the rest is other load.");
}

void bench_adapter(const options& o)
{
    for (int latency : {16, 2, 1})
        program_row(o, "programming, 8 Mbit plan, adapter " + std::to_string(latency) + " ms", "6.05", 8, latency);
}

// ---- A faster line and blank sectors ----------------------------------------------------------

// The whole 8 Mbit plan at 1, 2 and 3 Mbaud, with and without its blank sectors, each against
// its own limit (every frame at the rate it crossed the line); then what the step down costs
// when the unit's loader keeps to 1,000,000 and is asked for 3,000,000.
void bench_speed(const options& o)
{
    double asked_1m = 0;
    for (uint32_t baud : {1000000u, 2000000u, 3000000u}) {
        for (bool skip : {true, false}) {
            line_setup line;
            line.baud = line.max_baud = baud;
            line.skip_blank = skip;
            double median = 0;
            double ratio = program_row(o,
                                       "8 Mbit plan at " + std::to_string(baud / 1000000) + " Mbaud, " +
                                           (skip ? "blank sectors left to the erase" : "every sector written"),
                                       "6.05", 8, 0, &median, line);
            if (baud == BAUD_LOADER && skip)
                asked_1m = median;
            print_note(text("ratio %.3f (goal: 1.03 or less)", ratio));
        }
    }
    for (const char* fault : {"ignore", "refuse", "garble"}) {
        line_setup line;
        line.baud = 3000000;
        line.skip_blank = true;
        line.fault = fault;
        double median = 0;
        program_row(o, std::string("asked for 3 Mbaud, loader at 1 Mbaud only (") + fault + "): steps down to 1 Mbaud",
                    "6.05", 8, 0, &median, line);
        print_note(text("the step down costs %.2f s against asking for 1,000,000 at once (goal: 1.5 s or less)",
                        median - asked_1m));
    }
}

// ---- Programming only what changed ------------------------------------------------------------

// A flash file of a unit that holds the image and the information sector of bt_address, one
// byte changed in `changed` sectors spread over the plan; `blank`: all erased.
std::string changed_flash(int changed, bool blank)
{
    std::string flash(1024 * 1024, '\xFF');
    if (!blank) {
        memcpy(&flash[0], firmware_image, IMAGE_SIZE);
        build_info_sector(reinterpret_cast<uint8_t*>(&flash[0xFD000]));
    }
    for (int i = 0; i < changed; i++)
        flash[size_t(1 + i * 252 / changed) * SECTOR_SIZE + 100] ^= 0x5A;
    std::string path = device_dir + "/flash.bin";
    FILE* file = fopen(path.c_str(), "wb");
    fwrite(flash.data(), 1, flash.size(), file);
    fclose(file);
    return path;
}

// One unit programmed with only the changed sectors, from boot mode entry to the checksum
// reply; the limit from the frames the unit took in.
program_run changed_once(int changed, bool blank, change_report& report)
{
    vunit_config config;
    config.line_rate = true;
    config.flash_in = changed_flash(changed, blank);
    vunit* unit = start_unit(config);
    program_run r;
    open_unit();
    {
        quiet_stdout quiet;
        auto start = bench_clock::now();
        r.ok = enter_boot_mode() && program_changed_flash(report) && !report.whole_plan;
        r.ms = ms_since(start);
    }
    close_port();
    for (const vunit_frame& f : vunit_frames(unit))
        r.limit_ms += frame_limit_ms(f, typical_flash);
    vunit_stop(unit);
    unlink(config.flash_in.c_str());
    reset_state();
    return r;
}

double changed_row(const options& o, const std::string& what, int changed, bool blank)
{
    figure measured, limit;
    change_report report;
    int failures = 0;
    for (int run = 0; run < o.runs; run++) {
        program_run r = changed_once(changed, blank, report);
        failures += !r.ok;
        measured.runs.push_back(r.ms / 1000);
        limit.runs.push_back(r.limit_ms / 1000);
    }
    print_row(what, measured, "s", limit.median(),
              text("written %.0f, skipped %.0f, saved %.1f s; ", report.written, report.skipped, report.seconds_saved) +
                  std::to_string(failures) + " failed runs");
    return measured.median();
}

void bench_changed(const options& o)
{
    double whole = 0;
    program_row(o, "programming, 8 Mbit plan, whole (for comparison)", "6.05", 8, 0, &whole);
    double same = changed_row(o, "only changed: the same image and address", 0, false);
    for (int changed : {1, 10, 100})
        changed_row(o, "only changed: " + std::to_string(changed) + " sectors differ", changed, false);
    double blank = changed_row(o, "only changed: a blank unit", 0, true);
    print_note(text("Only changed, the same image: %.2f s (goal: under 1.5 s); a blank unit %+.2f s against the "
                    "whole plan (goal: +0.8 s at most).",
                    same, blank - whole));
    print_note("The image's erased sectors 200 to 252 need no writing on a blank unit.");

    // The worst case: an image without erased sectors, so that a blank unit needs every one.
    std::vector<uint8_t> full(firmware_image, firmware_image + IMAGE_SIZE);
    for (size_t i = 200 * SECTOR_SIZE; i < 253 * SECTOR_SIZE; i++)
        full[i] = uint8_t(i * 7);
    use_image(std::move(full), image_version, "unsigned");
    double whole_full = 0;
    program_row(o, "programming, whole, an image without erased sectors", "6.05", 8, 0, &whole_full);
    double blank_full = changed_row(o, "only changed: a blank unit, that image", 0, true);
    use_builtin_image();
    print_note(text("With every sector to write, a blank unit %+.2f s against the whole plan.", blank_full - whole_full));
}

// ---- The whole update tool and a station cycle --------------------------------------------

// What an operator waits for and then types; a step with a name is a phase of the measured
// run, which starts behind the first step's keys.
struct step {
    const char* phase;    // nullptr: not timed
    const char* ends_at;  // the text the tool shows when the step is over
    const char* keys;     // what the operator types then
};

const std::vector<step> update_run = {
    {"start and discovery", "Found device on", ""},
    {"version query", "Please type 'y'", "y"},
    {"boot mode entry, address read-back, unlock", " Erase flash ", ""},
    {"erase", "Mb flash Write ", ""},
    {"write", " Verify flash ...", ""},
    {"verify", " Reboot MCU ", ""},
    {"restart", "Success", "\n"},
};

const std::vector<step> station_cycle = {
    {nullptr, "exit program\n>", "p"},
    {"discovery", "Found device on", ""},
    {"boot mode entry, unlock", " Erase flash ", ""},
    {"erase", "Mb flash Write ", ""},
    {"write", " Verify flash ...", ""},
    {"verify", " Reboot MCU ", ""},
    {"restart, address file rewritten", "Success", " "},
    {nullptr, "exit program\n>", "q"},
};

// Runs `program` through `steps` against a unit at line rate, as often as asked: the whole
// timed run and each phase, against the limit of every frame the unit took.
void bench_tool_run(const options& o, const char* program, const std::string& what, const std::vector<step>& steps)
{
    figure whole, limit;
    std::vector<figure> phases(steps.size());
    double peak = 0;
    int failures = 0;
    for (int run = 0; run < o.runs; run++) {
        vunit_config config;
        config.line_rate = true;
        config.stored_address = "0604:03:123456";
        vunit* unit = start_unit(config);
        write_port_list({"COM7"});
        char cwd_pattern[] = "/tmp/pelmo4rix-bench-cwd-XXXXXX";
        std::string cwd = mkdtemp(cwd_pattern);
        child_program tool;
        auto start = bench_clock::now();
        tool.start(std::string(PELMO4RIX_BIN_DIR) + "/" + program, {}, cwd);
        bool ok = true, started = steps[0].phase != nullptr;
        double last = 0;
        for (size_t i = 0; i < steps.size() && ok; i++) {
            ok = tool.wait_for(steps[i].ends_at, 120000);
            if (steps[i].phase && started) {
                phases[i].runs.push_back(ms_since(start) - last);
                last = ms_since(start);
            }
            size_t keys = strlen(steps[i].keys);
            ok = ok && write(tool.in, steps[i].keys, keys) == ssize_t(keys);
            if (!started) {  // the timed run starts with these keys (the unit has seen nothing yet)
                started = true;
                start = bench_clock::now();
            }
        }
        failures += !tool.finish(5000) || !ok;
        peak = std::max(peak, tool.peak_mib);
        whole.runs.push_back(last / 1000);
        double frames_ms = 0;
        for (const vunit_frame& f : vunit_frames(unit))
            frames_ms += frame_limit_ms(f, typical_flash);
        limit.runs.push_back(frames_ms / 1000);
        vunit_stop(unit);
        reset_state();
        std::filesystem::remove_all(cwd);
        unlink((device_dir + "/SERIALCOMM").c_str());
    }
    print_row(what, whole, "s", limit.median(), std::to_string(failures) + " failed runs; limit: every frame the unit took");
    for (size_t i = 0; i < steps.size(); i++)
        if (steps[i].phase)
            print_row(std::string("  ") + steps[i].phase, phases[i], "ms", 0,
                      text("%.1f%% of it", phases[i].median() / whole.median() / 10));
    print_row(std::string("  peak memory of ") + program, figure{{peak}}, "MiB");
}

void bench_tools(const options& o)
{
    bench_tool_run(o, "pelmo4rix-update", "update tool, whole run ('y' typed at once)", update_run);
    bench_tool_run(o, "pelmo4rix-station", "station cycle, 'p' to the result box", station_cycle);
}

// ---- Discovery ------------------------------------------------------------------------------

const std::vector<std::string> unanswered = {"no-reply:1", "no-reply:9", "no-reply:10"};

void bench_discovery(const options& o)
{
    figure missing, silent, last_of_eight;
    for (int run = 0; run < o.runs; run++) {
        quiet_stdout quiet;
        auto start = bench_clock::now();
        for (int i = 0; i < 100; i++)
            probe_port("COM99");
        missing.runs.push_back(ms_since(start) / 100);
    }
    print_row("discovery: a port name that does not exist", missing, "ms");

    vunit_config mute;
    mute.faults = unanswered;
    vunit* unit = start_unit(mute);
    for (int run = 0; run < o.runs; run++) {
        quiet_stdout quiet;
        auto start = bench_clock::now();
        probe_port("COM7");
        silent.runs.push_back(ms_since(start));
    }
    vunit_stop(unit);
    print_row("discovery: a silent port", silent, "ms", 1240, "the read tries imply about 1.24 s");

    std::vector<vunit*> units;
    std::vector<std::string> names;
    for (int i = 1; i <= 8; i++) {
        names.push_back("COM" + std::to_string(i));
        vunit_config config;
        config.line_rate = true;
        if (i < 8)
            config.faults = unanswered;
        units.push_back(start_unit(config, names.back()));
    }
    write_port_list(names);
    for (int run = 0; run < o.runs; run++) {
        quiet_stdout quiet;
        auto start = bench_clock::now();
        int found = find_device();
        last_of_eight.runs.push_back(found && strcmp(found_port_name, "COM8") == 0 ? ms_since(start) / 1000 : -1);
    }
    for (vunit* u : units)
        vunit_stop(u);
    unlink((device_dir + "/SERIALCOMM").c_str());
    print_row("discovery: the unit listed last of 8 ports", last_of_eight, "s", 7 * silent.median() / 1000,
              "the others silent; limit: 7 silent ports");
}

// ---- Trace capture --------------------------------------------------------------------------

// The trace file holds the banner line, the first read, the read that enabled the debug port,
// a line "Debug port enabled N", then everything logged: true when the enabling read and
// the logged bytes are exactly what the unit sent.
bool trace_file_exact(const std::string& file, const std::vector<uint8_t>& sent)
{
    const std::string line = "\n Debug port enabled ";
    size_t at = file.find(line);
    if (at == std::string::npos)
        return false;
    size_t end = file.find('\n', at + line.size());
    size_t count = size_t(atol(file.c_str() + at + line.size()));
    if (end == std::string::npos || count > at)
        return false;
    std::string trace = file.substr(at - count, count) + file.substr(end + 1);
    return trace == std::string(sent.begin(), sent.end());
}

// CPU the child used over `ms` of waiting, in % of one core.
double cpu_share_over(child_program& tool, int ms)
{
    double before = cpu_ms_of(tool.pid);
    tool.drain_for(ms);
    return (cpu_ms_of(tool.pid) - before) * 100 / ms;
}

// The trace capture tool itself, at 115200 with the line full: the rate it logs and its CPU
// per MB; without an adapter also its CPU while the line is quiet and once the unit is
// unplugged, and its peak memory.
void trace_tool_run(const options& o, int adapter_latency_ms)
{
    const int line_rate = int(BAUD_DEFAULT / 10);
    vunit_config config;
    config.line_rate = true;
    config.trace_rate = line_rate;
    config.adapter_latency_ms = adapter_latency_ms;
    vunit* unit = start_unit(config);
    write_port_list({"COM7"});
    char cwd_pattern[] = "/tmp/pelmo4rix-bench-cwd-XXXXXX";
    std::string cwd = mkdtemp(cwd_pattern);
    child_program tool;
    tool.start(PELMO4RIX_BIN_DIR "/pelmo4rix-trace", {}, cwd);
    bool logging = tool.wait_for("Logging .", 30000);
    size_t sent_before = vunit_trace_sent(unit).size();
    double cpu_before = cpu_ms_of(tool.pid);
    auto start = bench_clock::now();
    tool.drain_for(logging ? o.trace_seconds * 1000 : 0);
    double seconds = ms_since(start) / 1000;
    double logging_cpu = cpu_ms_of(tool.pid) - cpu_before;
    double mb = double(vunit_trace_sent(unit).size() - sent_before) / 1e6;

    vunit_set_trace_rate(unit, 0);
    tool.drain_for(1000);  // what was on its way
    bool exact = trace_file_exact(read_file(cwd + "/Pelmo4Rix.trace"), vunit_trace_sent(unit));
    double quiet = adapter_latency_ms ? 0 : cpu_share_over(tool, 5000);
    vunit_unplug(unit);
    double unplugged = adapter_latency_ms ? 0 : cpu_share_over(tool, 5000);
    bool ended = tool.finish(5000);
    vunit_stop(unit);
    unlink((cwd + "/Pelmo4Rix.trace").c_str());
    rmdir(cwd.c_str());
    unlink((device_dir + "/SERIALCOMM").c_str());
    if (!logging) {
        print_note("the trace capture tool did not start logging");
        return;
    }

    std::string how = adapter_latency_ms ? text(", adapter %.0f ms", adapter_latency_ms) : "";
    print_row(text("trace tool at 115200, %.0f s, line full", seconds) + how, figure{{mb * 1e6 / seconds}}, "B/s",
              line_rate, exact ? "trace file byte-exact" : "trace file NOT byte-exact");
    print_row("  its CPU per MB logged", figure{{logging_cpu / mb}}, "ms", 0,
              adapter_latency_ms ? "bytes come in packets" : "bytes come one by one: a wake-up each");
    if (adapter_latency_ms)
        return;
    print_row("  its CPU while the line is quiet", figure{{quiet}}, "%", 0, "of one core");
    print_row("  its CPU after the unit is unplugged", figure{{unplugged}}, "%", 0, "of one core");
    print_row("  peak memory of pelmo4rix-trace", figure{{tool.peak_mib}}, "MiB", 0,
              ended ? "" : "it did not end when input closed: killed");
}

// At 1,000,000 baud the tool cannot be run (its unit traces at 115200): the tool's own read
// of the trace, in this process, against a firmware that traces at that speed.
void trace_read_path(const options& o)
{
    const int line_rate = int(BAUD_LOADER / 10);
    vunit_config config;
    config.line_rate = true;
    config.firmware_baud = BAUD_LOADER;
    config.trace_rate = line_rate;
    vunit* unit = start_unit(config);
    open_unit();
    configure_port(BAUD_LOADER);
    info_file = tmpfile();
    setvbuf(info_file, nullptr, _IONBF, 0);  // as the tool writes it
    run_command(CMD_DEBUG_ON);
    long logged = 0;
    double cpu_before = thread_cpu_ms();
    auto start = bench_clock::now();
    while (ms_since(start) < o.trace_seconds * 1000.0)
        logged += read_trace_chunk();
    double seconds = ms_since(start) / 1000;
    double cpu = thread_cpu_ms() - cpu_before;
    vunit_set_trace_rate(unit, 0);
    for (auto quiet = bench_clock::now(); ms_since(quiet) < 300;)
        if (read_trace_chunk() > 0)
            quiet = bench_clock::now();
    std::vector<uint8_t> sent = vunit_trace_sent(unit);
    std::string file(size_t(ftell(info_file)), '\0');
    rewind(info_file);
    bool exact = fread(&file[0], 1, file.size(), info_file) == file.size() &&
                 file == std::string(sent.begin(), sent.end());
    reset_state();
    vunit_stop(unit);
    print_row(text("trace read path at 1000000, %.0f s, line full", seconds), figure{{logged / seconds}}, "B/s",
              line_rate, exact ? "file byte-exact" : "file NOT byte-exact");
    print_row("  its CPU per MB logged", figure{{cpu / (double(logged) / 1e6)}}, "ms");
}

void bench_trace(const options& o)
{
    trace_tool_run(o, 0);
    trace_tool_run(o, 1);
    trace_read_path(o);
}

// ---- Memory ---------------------------------------------------------------------------------

// Peak memory of the virtual unit's program while one unit is programmed through it (the
// tools' own are measured where they run).
void bench_memory(const options&)
{
    char cwd_pattern[] = "/tmp/pelmo4rix-bench-cwd-XXXXXX";
    std::string cwd = mkdtemp(cwd_pattern);
    child_program vunit_program;
    vunit_program.start(PELMO4RIX_VUNIT_PROGRAM,
                        {"--device-dir", device_dir, "--name", "COM7", "--list", "--line-rate"}, cwd);
    vunit_program.wait_for("\n", 5000);
    bool ok;
    {
        quiet_stdout quiet;
        ok = open_unit() && enter_boot_mode() && program_flash();
    }
    close_port();
    reset_state();
    vunit_program.note_peak();
    kill(vunit_program.pid, SIGTERM);
    vunit_program.finish(5000);
    print_row("peak memory of pelmo4rix-vunit", figure{{vunit_program.peak_mib}}, "MiB", 0,
              ok ? "while a unit was programmed" : "programming FAILED");
    unlink((device_dir + "/SERIALCOMM").c_str());
    rmdir(cwd.c_str());
}

const std::map<std::string, std::function<void(const options&)>> sections = {
    {"line", bench_line},           {"timeouts", bench_timeouts}, {"program", bench_program}, {"adapter", bench_adapter}, {"tools", bench_tools},
    {"discovery", bench_discovery}, {"trace", bench_trace},     {"memory", bench_memory},
    {"changed", bench_changed},     {"speed", bench_speed},
};
const char* const section_order[] = {"line",  "timeouts",  "program", "changed", "speed",
                                     "adapter", "tools", "discovery", "trace", "memory"};

int usage()
{
    fprintf(stderr, "usage: link_bench [--runs N] [--trace-seconds S] [SECTION...]\n"
                    "sections: line timeouts program changed speed adapter tools discovery trace memory (default: all)\n");
    return 2;
}

}  // namespace

int main(int argc, char** argv)
{
    options o;
    std::vector<std::string> chosen;
    for (int i = 1; i < argc; i++) {
        std::string a = argv[i];
        if ((a == "--runs" || a == "--trace-seconds") && i + 1 < argc) {
            int value = atoi(argv[++i]);
            if (value < 1)
                return usage();
            (a == "--runs" ? o.runs : o.trace_seconds) = value;
        } else if (sections.count(a)) {
            chosen.push_back(a);
        } else {
            return usage();
        }
    }
    if (chosen.empty())
        chosen.assign(std::begin(section_order), std::end(section_order));

    char pattern[] = "/tmp/pelmo4rix-bench-XXXXXX";
    device_dir = mkdtemp(pattern);
    setenv("PELMO4RIX_DEVICE_DIR", device_dir.c_str(), 1);
    signal(SIGPIPE, SIG_IGN);
    // Where allowed, the tools' code in this process runs ahead of other load on a shared
    // machine, so that the figures show what the tool adds, not what the machine's other
    // work takes; programs started from here run as usual.
    sched_param priority{};
    priority.sched_priority = 1;
    bool realtime = sched_setscheduler(0, SCHED_FIFO | SCHED_RESET_ON_FORK, &priority) == 0;
    printf("Pelmo4Rix benchmarks: %d runs a figure; scheduling %s\n", o.runs,
           realtime ? "real-time (ahead of other load)" : "ordinary (figures include other load)");
    print_table_head();
    for (const std::string& name : chosen)
        sections.at(name)(o);
    rmdir(device_dir.c_str());
    return 0;
}
