// Progress of the programming on standard error. The figures come from program_flash's
// reports; the drawing is kept apart from them.
#include <chrono>
#include <cstdio>
#include <string>

#include "cli/cli.h"
#include "cli/os.h"
#include "device/device.h"
#include "image/image.h"
#include "link/console_print.h"
#include "link/port.h"
#include "link/state.h"

namespace {

using steady = std::chrono::steady_clock;

constexpr int BAR_WIDTH = 20;
constexpr size_t LINE_LONGEST = 79;  // a line as wide as the screen (80) wraps, and \r misses its start
constexpr auto REDRAW_INTERVAL = std::chrono::milliseconds(100);  // at most ten redraws a second

// What a person is shown about the phase in progress.
struct progress_view {
    const char* phase;
    long long done, total;  // steps, or bytes in the write phase
    long long scale;        // bytes a step
    const char* unit;       // nullptr: a single step, shown by its percentage only
    int percent;
    double rate;          // units a second, 0 until known
    double seconds_left;  // -1 until known
};

bool show_bar;  // a terminal: one line drawn over and over
bool quiet;
bool events;    // JSON lines on standard output instead of the display
bool bar_open;  // the bar's line has no line end yet
size_t bar_length;  // characters of the bar's line on the screen, blanks at its end not counted
steady::time_point phase_start;
steady::time_point last_draw;

const char* phase_name(flash_phase phase)
{
    return phase == PHASE_ERASE ? "erase" : phase == PHASE_WRITE ? "write" : phase == PHASE_COMPARE ? "compare" : "verify";
}

progress_view view_of(flash_phase phase, int step, int total, double elapsed)
{
    const long long scale = phase == PHASE_WRITE ? SECTOR_SIZE : 1;
    const bool one = total == 1;
    const char* unit = phase == PHASE_WRITE     ? "bytes"
                       : phase == PHASE_ERASE   ? (one ? "step" : "steps")
                       : phase == PHASE_COMPARE ? (one ? "block" : "blocks")
                                                : nullptr;
    progress_view v = {phase_name(phase), (step < 0 ? 0 : step) * scale, total * scale, scale, unit, 0, 0, -1};
    v.percent = static_cast<int>(v.total ? v.done * 100 / v.total : 0);
    if (v.done > 0 && elapsed > 0) {
        v.rate = static_cast<double>(v.done) / elapsed;
        v.seconds_left = static_cast<double>(v.total - v.done) / v.rate;
    }
    return v;
}

std::string bar_line(const progress_view& v)
{
    const size_t filled = static_cast<size_t>(v.percent * BAR_WIDTH / 100);
    const std::string bar = std::string(filled, '#') + std::string(BAR_WIDTH - filled, '.');
    char line[160];
    int n = snprintf(line, sizeof line, "%-6s [%s] %3d%%", v.phase, bar.c_str(), v.percent);
    if (v.unit)
        n += snprintf(line + n, sizeof line - n, "  %lld/%lld %s", v.done, v.total, v.unit);
    if (v.rate > 0 && v.scale > 1)
        n += snprintf(line + n, sizeof line - n, "  %.0f kB/s", v.rate / 1000);
    if (v.seconds_left > 0) {
        int left = static_cast<int>(v.seconds_left + 0.5);
        snprintf(line + n, sizeof line - n, "  %d:%02d left", left / 60, left % 60);
    }
    return line;
}

// Draws `line` over the bar's line, with blanks over what a longer line drawn before left.
void draw_bar(std::string line)
{
    if (line.size() > LINE_LONGEST)
        line.resize(LINE_LONGEST);
    const size_t length = line.size();
    if (length < bar_length)
        line.append(bar_length - length, ' ');
    fprintf(stderr, "\r%s", line.c_str());
    fflush(stderr);
    bar_length = length;
}

void close_bar()
{
    if (bar_open) {
        fputc('\n', stderr);
        fflush(stderr);
    }
    bar_open = false;
    bar_length = 0;
}

void report_progress(flash_phase phase, int step, int total)
{
    if (stop_signal() && port_handle) {
        // No more traffic: the programming fails at its next command and unwinds as usual.
        console_stream = nullptr;
        close_port();
        return;
    }
    if (events) {
        printf("{\"event\":\"progress\",\"phase\":\"%s\",\"step\":%d,\"total\":%d}\n", phase_name(phase), step, total);
        fflush(stdout);  // the supervisor watches for silence
        return;
    }
    if (quiet)
        return;
    if (step == PROGRESS_BEGIN) {
        phase_start = steady::now();
        progress_view v = view_of(phase, total, total, 0);
        if (!show_bar)
            fprintf(stderr, "%s: %lld %s\n", v.phase, v.total, v.unit ? v.unit : "checksum");
    }
    const steady::time_point now = steady::now();
    const bool phase_ends = step == total;
    if (!show_bar || (!phase_ends && now - last_draw < REDRAW_INTERVAL))
        return;  // a console that draws slowly would hold the programming up
    last_draw = now;
    draw_bar(bar_line(view_of(phase, step, total, std::chrono::duration<double>(now - phase_start).count())));
    bar_open = true;
    if (phase == PHASE_VERIFY && phase_ends)
        close_bar();
}

}  // namespace

void use_progress_display(bool quiet_display, bool event_lines)
{
    quiet = quiet_display;
    events = event_lines;
    show_bar = stream_is_terminal(stderr);
    flash_progress = report_progress;
}

void report_attempt(int attempt)
{
    if (!events)
        return;
    printf("{\"event\":\"attempt\",\"attempt\":%d}\n", attempt);
    fflush(stdout);
}

void end_progress_display()
{
    close_bar();
}
