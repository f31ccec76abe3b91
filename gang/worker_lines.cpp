// The worker's JSON lines and what they change in its port's row.
#include <cstdlib>

#include "gang/gang.h"

namespace {

// The raw text of the value of `key` in a flat JSON object of our own worker; empty when
// absent. Strings come without their quotes (our worker's texts carry no escaped quote that
// matters here).
std::string value_of(const std::string& line, const std::string& key)
{
    const std::string head = "\"" + key + "\":";
    size_t at = line.find(head);
    if (at == std::string::npos)
        return "";
    at += head.size();
    if (line.compare(at, 1, "\"") == 0) {
        size_t end = at + 1;
        while (end < line.size() && line[end] != '"')
            end += line[end] == '\\' ? 2 : 1;
        return line.substr(at + 1, end - at - 1);
    }
    size_t end = line.find_first_of(",}", at);
    return line.substr(at, end == std::string::npos ? std::string::npos : end - at);
}

int number_of(const std::string& line, const std::string& key)
{
    return std::atoi(value_of(line, key).c_str());
}

// The share of the whole programming done at `step` of `total` in `phase`: the erase is the
// first tenth, the writing most of the rest.
int overall_percent(const std::string& phase, int step, int total)
{
    int first = 0, span = 10;
    if (phase == "write")
        first = 10, span = 85;
    else if (phase == "verify")
        first = 95, span = 5;
    int done = step < 0 || total <= 0 ? 0 : step > total ? total : step;
    return first + span * done / (total > 0 ? total : 1);
}

}  // namespace

bool take_worker_line(port_row& row, const std::string& line)
{
    if (line.empty() || line[0] != '{')
        return false;
    const std::string event = value_of(line, "event");
    const std::string before = row.phase;
    if (event == "attempt") {
        row.attempts = number_of(line, "attempt");
        row.phase = "boot";
        row.percent = 0;
        return true;
    }
    if (event == "progress") {
        const std::string phase = value_of(line, "phase");
        int step = number_of(line, "step"), total = number_of(line, "total");
        // Write steps: the image sectors, then the information sector, then sector 0. With
        // --only-changed a unit whose information sector already holds the address has no
        // step for it: its one step (sector 0) marks it from the phase's begin.
        if (phase == "write" && total >= 1 && step >= total - 2)
            row.info_sector_sent = true;
        row.phase = phase;
        row.percent = overall_percent(phase, step, total);
        return row.phase != before;
    }
    if (!value_of(line, "ok").empty()) {
        row.result_seen = true;
        row.result_ok = value_of(line, "ok") == "true";
        row.exit_code = number_of(line, "exit_code");
        row.error = value_of(line, "error");
        if (row.result_ok && number_of(line, "baud") > 0)
            row.baud = static_cast<unsigned>(number_of(line, "baud"));
        if (!value_of(line, "written").empty()) {
            row.written = number_of(line, "written");
            row.skipped = number_of(line, "skipped");
            row.seconds_saved = std::atof(value_of(line, "seconds_saved").c_str());
        }
    }
    return false;
}
