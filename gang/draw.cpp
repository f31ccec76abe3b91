// What the gang shows: the live table on a terminal, a line per event otherwise. Only
// formatting here; the rows are kept by the gang's loop.
#include <algorithm>
#include <cstdio>
#include <ctime>

#include "common/text.h"
#include "gang/gang.h"

namespace {

constexpr int BAR_WIDTH = 20;
constexpr size_t CAUSES_WIDTH = 118;

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

std::string baud_text(unsigned baud)
{
    char text[24];
    snprintf(text, sizeof text, "%g Mbaud", baud / 1e6);
    return text;
}

std::string row_line(const port_row& row, gang_clock::time_point now)
{
    char line[320];  // room for a slot named by a long stable name
    if (row.phase.empty()) {
        snprintf(line, sizeof line, "%-10s %-14s %s%s", row.label.c_str(), "-",
                 row.quarantined ? "check the fixture" : row.present ? "no unit" : "port gone",
                 row.slot.fault.empty() ? "" : (", port fault: " + row.slot.fault).c_str());
        return line;
    }
    bool busy = row.state == PORT_BUSY;
    bool good = !busy && row.phase == "good";
    bool programmed = good && !row.already;  // "good (already)" wrote nothing
    std::string result = busy           ? ""
                         : row.already  ? "good (already)"
                         : good         ? (row.kept ? "good, kept" : "good")
                                        : "failed " + std::to_string(row.exit_code);
    if (programmed && row.written >= 0)
        result += ", wrote " + std::to_string(row.written) + "/" + std::to_string(row.written + row.skipped);
    if (programmed && row.baud > BAUD_LOWEST)
        result += ", " + baud_text(row.baud);
    if (!row.delivery.empty())
        result += ", " + row.delivery;
    if (row.quarantined)
        result = "check the fixture";
    if (row.state == PORT_EMPTY)
        result += ", unit gone";
    if (!row.slot.fault.empty())
        result += ", port fault: " + row.slot.fault;
    double seconds = seconds_between(row.started, busy ? now : row.ended);
    snprintf(line, sizeof line, "%-10s %-14s %-8s %s %3d%% %3d  %-20s %s", row.label.c_str(),
             address_of(row.address).c_str(), busy ? row.phase.c_str() : "", bar(row.percent).c_str(), row.percent,
             row.attempts, result.c_str(), minutes_text(seconds).c_str());
    return line;
}

// The causes, the most frequent first: "20 x2 the unit's checksum differs ..., 6 x1 ...".
std::string causes_text(const line_totals& totals)
{
    std::vector<std::pair<int, int>> causes(totals.causes.begin(), totals.causes.end());
    std::stable_sort(causes.begin(), causes.end(), [](const auto& a, const auto& b) { return a.second > b.second; });
    std::string text;
    for (const auto& [code, count] : causes)
        text += (text.empty() ? "" : ", ") + std::to_string(code) + " x" + std::to_string(count) + " " + cause_text(code);
    return text;
}

}  // namespace

std::string changes_text(const port_row& row)
{
    char text[80];
    snprintf(text, sizeof text, "written %d, skipped %d, %.1f s saved", row.written, row.skipped, row.seconds_saved);
    return text;
}

std::vector<std::string> table_lines(const std::vector<port_row>& rows, const line_totals& totals,
                                     const std::string& notice, gang_clock::time_point now)
{
    char line[160];
    snprintf(line, sizeof line, "%-10s %-14s %-8s %-27s %3s  %-20s %s", "PORT", "ADDRESS", "PHASE", "PROGRESS", "TRY",
             "RESULT", "TIME");
    std::vector<std::string> lines = {line};
    for (const port_row& row : rows)
        lines.push_back(row_line(row, now));
    bool quarantined = false;
    for (const port_row& row : rows)
        quarantined = quarantined || row.quarantined;
    double yield = yield_percent(totals);
    snprintf(line, sizeof line, "good %d  failed %d  in progress %d  units/hour %.0f  yield %s   (q: stop after these units%s)",
             totals.good, totals.failed, totals.started - totals.good - totals.failed, units_per_hour(totals, now),
             yield < 0 ? "-" : (std::to_string(static_cast<int>(yield + 0.5)) + "%").c_str(),
             quarantined ? ", r: use the checked fixtures again" : "");
    lines.push_back("");
    lines.push_back(line);
    if (!totals.causes.empty())
        lines.push_back(("causes: " + causes_text(totals)).substr(0, CAUSES_WIDTH));  // one line: no wrap to undo
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

std::string utc_stamp()
{
    std::time_t now = std::time(nullptr);
    char stamp[32];
    std::strftime(stamp, sizeof stamp, "%Y-%m-%dT%H:%M:%SZ", std::gmtime(&now));  // the loop's thread only
    return stamp;
}

void print_event(const std::string& port, const std::string& what)
{
    printf("%s %s %s\n", utc_stamp().c_str(), port.c_str(), what.c_str());
    fflush(stdout);
}
