// What the gang shows: the live table on a terminal, a line per event otherwise. Only
// formatting here; the rows are kept by the gang's loop.
#include <cstdio>
#include <ctime>

#include "gang/gang.h"

namespace {

constexpr int BAR_WIDTH = 20;

double seconds_between(gang_clock::time_point a, gang_clock::time_point b)
{
    return std::chrono::duration<double>(b - a).count();
}

std::string minutes_text(double seconds)
{
    int s = static_cast<int>(seconds + 0.5);
    char text[16];
    snprintf(text, sizeof text, "%d:%02d", s / 60, s % 60);
    return text;
}

std::string bar(int percent)
{
    size_t filled = static_cast<size_t>(percent * BAR_WIDTH / 100);
    return "[" + std::string(filled, '#') + std::string(BAR_WIDTH - filled, '.') + "]";
}

std::string row_line(const port_row& row, gang_clock::time_point now)
{
    char line[160];
    if (row.phase.empty()) {
        snprintf(line, sizeof line, "%-10s %-14s %s", row.name.c_str(), "-", row.present ? "no unit" : "port gone");
        return line;
    }
    bool busy = row.state == PORT_BUSY;
    std::string result = busy ? "" : row.phase == "good" ? "good" : "failed " + std::to_string(row.exit_code);
    if (result == "good" && row.written >= 0)
        result += ", wrote " + std::to_string(row.written) + "/" + std::to_string(row.written + row.skipped);
    if (row.state == PORT_EMPTY)
        result += ", unit gone";
    double seconds = seconds_between(row.started, busy ? now : row.ended);
    snprintf(line, sizeof line, "%-10s %-14s %-8s %s %3d%% %3d  %-20s %s", row.name.c_str(),
             address_of(row.address).c_str(), busy ? row.phase.c_str() : "", bar(row.percent).c_str(), row.percent,
             row.attempts, result.c_str(), minutes_text(seconds).c_str());
    return line;
}

}  // namespace

std::string address_of(const uint8_t a[6])
{
    char text[16];
    snprintf(text, sizeof text, "%02x%02x:%02x:%02x%02x%02x", a[5], a[4], a[3], a[2], a[1], a[0]);
    return text;
}

std::string changes_text(const port_row& row)
{
    char text[80];
    snprintf(text, sizeof text, "written %d, skipped %d, %.1f s saved", row.written, row.skipped, row.seconds_saved);
    return text;
}

double units_per_hour(const gang_totals& totals, gang_clock::time_point now)
{
    double hours = seconds_between(totals.start, now) / 3600;
    return hours > 0 ? totals.good / hours : 0;
}

std::vector<std::string> table_lines(const std::vector<port_row>& rows, const gang_totals& totals,
                                     const std::string& notice, gang_clock::time_point now)
{
    char line[160];
    snprintf(line, sizeof line, "%-10s %-14s %-8s %-27s %3s  %-20s %s", "PORT", "ADDRESS", "PHASE", "PROGRESS", "TRY",
             "RESULT", "TIME");
    std::vector<std::string> lines = {line};
    for (const port_row& row : rows)
        lines.push_back(row_line(row, now));
    snprintf(line, sizeof line, "good %d  failed %d  in progress %d  units/hour %.0f   (q: stop after these units)",
             totals.good, totals.failed, totals.started - totals.good - totals.failed, units_per_hour(totals, now));
    lines.push_back("");
    lines.push_back(line);
    if (!notice.empty())
        lines.push_back(notice);
    return lines;
}

void draw_table(const std::vector<std::string>& lines, int& drawn)
{
    std::string out;
    if (drawn > 0)
        out += "\033[" + std::to_string(drawn) + "A";  // back to the table's first line
    for (const std::string& line : lines)
        out += "\r" + line + "\033[K\n";
    out += "\033[J";  // lines left from a longer table
    fputs(out.c_str(), stdout);
    fflush(stdout);
    drawn = static_cast<int>(lines.size());
}

void print_event(const std::string& port, const std::string& what)
{
    std::time_t now = std::time(nullptr);
    char stamp[32];
    std::strftime(stamp, sizeof stamp, "%Y-%m-%dT%H:%M:%SZ", std::gmtime(&now));
    printf("%s %s %s\n", stamp, port.c_str(), what.c_str());
    fflush(stdout);
}
