// Figures of the device link against the virtual unit over a real pseudo-terminal: what an
// exchange costs when the unit answers, when it stays silent, what a silent port costs the
// discovery, and how fast a trace is taken in.
//   usage: link_bench
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "device/device.h"
#include "link/discovery.h"
#include "link/exchange.h"
#include "link/os_port.h"
#include "link/port.h"
#include "link/state.h"
#include "vunit/vunit.h"

namespace {

using clock_type = std::chrono::steady_clock;

double ms_since(clock_type::time_point start)
{
    return std::chrono::duration<double, std::milli>(clock_type::now() - start).count();
}

vunit* start_unit(const std::string& dir, std::vector<std::string> faults, bool line_rate = false)
{
    vunit_config config;
    config.device_dir = dir;
    config.name = "COM7";
    config.faults = std::move(faults);
    config.line_rate = line_rate;
    std::string error;
    vunit* unit = vunit_start(config, error);
    if (!unit) {
        fprintf(stderr, "link_bench: %s\n", error.c_str());
        exit(1);
    }
    return unit;
}

bool open_unit()
{
    return open_port("COM7") && configure_port(BAUD_DEFAULT) && set_port_mask();
}

// Mean time of `runs` calls of `action`, in milliseconds.
template <typename Action>
double mean_ms(int runs, Action action)
{
    auto start = clock_type::now();
    for (int i = 0; i < runs; i++)
        action();
    return ms_since(start) / runs;
}

}  // namespace

int main()
{
    char pattern[] = "/tmp/pelmo4rix-bench-XXXXXX";
    std::string dir = mkdtemp(pattern);
    setenv("PELMO4RIX_DEVICE_DIR", dir.c_str(), 1);

    for (bool line_rate : {false, true}) {
        vunit* unit = start_unit(dir, {}, line_rate);
        open_unit();
        const char* how = line_rate ? "at line rate" : "instant unit";
        printf("probe answered, %s:   %8.2f ms per exchange\n", how, mean_ms(100, [] { run_command(CMD_PROBE); }));
        printf("version query, %s:    %8.2f ms per exchange\n", how,
               mean_ms(100, [] { run_command(CMD_GET_VERSION); }));
        close_port();
        vunit_stop(unit);
    }

    vunit* unit = start_unit(dir, {});
    open_unit();
    run_command(CMD_DEBUG_ON);
    long bytes = 0;
    auto start = clock_type::now();
    uint8_t buffer[256];
    while (ms_since(start) < 2000) {
        long n = os_port_read(port_handle, buffer, sizeof buffer);
        bytes += n > 0 ? n : 0;
    }
    printf("trace taken in:                    %8.0f bytes/s (the unit sends about 4 KB/s)\n", bytes / (ms_since(start) / 1000));
    run_command(CMD_QUIT);
    close_port();
    vunit_stop(unit);

    unit = start_unit(dir, {"no-reply:1", "no-reply:9", "no-reply:10"});
    open_unit();
    printf("probe unanswered:                  %8.1f ms per failed exchange\n", mean_ms(5, [] { run_command(CMD_PROBE); }));
    close_port();
    printf("silent port in discovery:          %8.1f ms per probe\n", mean_ms(3, [] { probe_port("COM7"); }));
    printf("missing port in discovery:         %8.3f ms per probe\n", mean_ms(255, [] { probe_port("COM8"); }));
    vunit_stop(unit);
    unlink((dir + "/COM7").c_str());
    rmdir(dir.c_str());
    return 0;
}
