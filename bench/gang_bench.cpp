// Figures of the gang station: the time to program 1 unit and 4 units at once at line rate,
// each unit a virtual unit on its own port, the gang the real program with its workers.
// Goal: 4 units in at most 1.15 times the time of one. Then what a hook per unit that takes
// 2 s costs the units: their mean time in the record with and without it (goal: the same
// within noise; the gang itself ends 2 s later, when the last hook has run). Then what the
// gang's first read of a unit that appears costs at line rate beside the probe alone (its
// stored address; goal: under 0.1 s), and for the unit a slot last programmed good (its
// address and the plan's checksum).
//   usage: gang_bench
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <algorithm>
#include <fstream>
#include <string>
#include <vector>

#include "gang/slots.h"
#include "link/console_print.h"
#include "vunit.h"

namespace {

using clock_type = std::chrono::steady_clock;

std::string make_dir()
{
    char path[] = "/tmp/gang_bench.XXXXXX";
    if (!mkdtemp(path)) {
        perror("gang_bench: mkdtemp");
        exit(1);
    }
    return path;
}

void remove_dir(const std::string& dir)
{
    std::string clean = "rm -rf " + dir;
    if (system(clean.c_str()) != 0)
        fprintf(stderr, "gang_bench: %s was not removed\n", dir.c_str());
}

// A line-rate unit on port `name` under `dir` that holds `stored` (NAP:UAP:LAP; empty:
// nothing); the bench ends when it can't start.
vunit* start_line_rate_unit(const std::string& dir, const std::string& name, const std::string& stored = "")
{
    vunit_config config;
    config.device_dir = dir;
    config.name = name;
    config.list = true;
    config.line_rate = true;
    config.stored_address = stored;
    std::string error;
    vunit* unit = vunit_start(config, error);
    if (!unit) {
        fprintf(stderr, "gang_bench: %s\n", error.c_str());
        exit(1);
    }
    return unit;
}

// The mean of the record's seconds column in `dir`; -1 without a unit.
double mean_unit_seconds(const std::string& dir)
{
    std::ifstream record(dir + "/production.csv");
    std::string line;
    std::getline(record, line);  // the header
    double sum = 0;
    int n = 0;
    while (std::getline(record, line)) {
        sum += atof(line.substr(line.rfind(',') + 1).c_str());
        n++;
    }
    return n ? sum / n : -1;
}

// Seconds that `pelmo4rix gang --units N [hook]` takes with N units at line rate, and the
// units' mean time in `unit_seconds`; -1 when it failed.
double gang_seconds(int units, const std::string& hook, double& unit_seconds)
{
    std::string dir = make_dir();
    setenv("PELMO4RIX_DEVICE_DIR", dir.c_str(), 1);
    std::vector<vunit*> started;
    for (int i = 0; i < units; i++)
        started.push_back(start_line_rate_unit(dir, "COM" + std::to_string(7 + i)));
    auto start = clock_type::now();
    pid_t pid = fork();
    if (pid == 0) {
        int null_device = open("/dev/null", O_RDWR);
        dup2(null_device, 0);
        dup2(null_device, 1);
        dup2(null_device, 2);  // the new address file's warning
        if (chdir(dir.c_str()) != 0)
            _exit(127);
        std::string program = std::string(PELMO4RIX_BIN_DIR) + "/pelmo4rix", count = std::to_string(units);
        if (hook.empty())
            execl(program.c_str(), program.c_str(), "gang", "--units", count.c_str(), static_cast<char*>(nullptr));
        else
            execl(program.c_str(), program.c_str(), "gang", "--units", count.c_str(), "--on-unit", hook.c_str(),
                  static_cast<char*>(nullptr));
        _exit(127);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    double seconds = std::chrono::duration<double>(clock_type::now() - start).count();
    unit_seconds = mean_unit_seconds(dir);
    for (vunit* unit : started)
        vunit_stop(unit);
    remove_dir(dir);
    return WIFEXITED(status) && WEXITSTATUS(status) == 0 ? seconds : -1;
}

constexpr int LOOK_RUNS = 5;

// The median seconds of a look at a line-rate unit on COM7 that holds `stored` (NAP:UAP:LAP;
// empty: nothing), with `read_unit`, for a slot that last programmed `memory`'s address.
double look_seconds(bool read_unit, const slot_memory& memory, const std::string& stored = "")
{
    std::string dir = make_dir();
    setenv("PELMO4RIX_DEVICE_DIR", dir.c_str(), 1);
    vunit* unit = start_line_rate_unit(dir, "COM7", stored);
    std::vector<double> runs;
    for (int i = 0; i < LOOK_RUNS; i++) {
        slot_look look;
        auto start = clock_type::now();
        look_at_slot("COM7", read_unit, memory, look);
        runs.push_back(std::chrono::duration<double>(clock_type::now() - start).count());
        if (look.finding != SLOT_UNIT || (read_unit && !look.read)) {
            fprintf(stderr, "gang_bench: the unit was not read\n");
            exit(1);
        }
    }
    vunit_stop(unit);
    remove_dir(dir);
    std::sort(runs.begin(), runs.end());
    return runs[runs.size() / 2];
}

}  // namespace

int main()
{
    double unit = 0, unit_hooked = 0;
    double one = gang_seconds(1, "", unit), four = gang_seconds(4, "", unit);
    double four_hooked = gang_seconds(4, "sleep 2", unit_hooked);
    if (one < 0 || four < 0 || four_hooked < 0) {
        fprintf(stderr, "gang_bench: a gang run failed\n");
        return 1;
    }
    printf("%-44s %8.2f s  %6.0f units/hour\n", "gang, 1 unit at line rate", one, 3600 / one);
    printf("%-44s %8.2f s  %6.0f units/hour\n", "gang, 4 units at once at line rate", four, 4 * 3600 / four);
    printf("%-44s %8.2f    (goal: at most 1.15)\n", "4 units / 1 unit", four / one);
    printf("%-44s %8.2f s  (the gang: %.2f s)\n", "4 units at once: a unit's mean time", unit, four);
    printf("%-44s %8.2f s  (the gang: %.2f s)\n", "... with a hook of 2 s per unit", unit_hooked, four_hooked);
    printf("%-44s %8.3f    (goal: 1 within noise)\n", "a unit's time with the hook / without", unit_hooked / unit);

    console_stream = nullptr;  // the device layer's messages, as in the gang
    slot_memory fresh, known;
    known.has_good = true;
    const uint8_t address[6] = {0x00, 0x01, 0x00, 0x03, 0x04, 0x06};  // 0604:03:000100, LAP low first
    std::copy(address, address + 6, known.last_good);
    double probe = look_seconds(false, fresh), first_read = look_seconds(true, fresh),
           back = look_seconds(true, known, "0604:03:000100");
    printf("%-44s %8.3f s\n", "a look at a unit: the probe alone", probe);
    printf("%-44s %8.3f s  (goal: under 0.1 s)\n", "a new unit's first read, beyond the probe", first_read - probe);
    printf("%-44s %8.3f s\n", "... with the plan's checksum (a known address)", back - probe);
    return 0;
}
