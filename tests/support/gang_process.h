// The gang (`pelmo4rix gang`) as a running process, its event lines on a pipe.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <string>
#include <vector>

struct gang_process {
    using steady = std::chrono::steady_clock;

    pid_t pid = -1;
    int out = -1;
    std::string output;
    bool reaped = false;

    gang_process() = default;
    gang_process(const gang_process&) = delete;
    ~gang_process();

    // Starts `pelmo4rix gang ARGS` in `cwd`; with `device_dir` that device directory instead
    // of the test's own.
    void start(const std::vector<std::string>& args, const std::string& cwd, const std::string& device_dir = "");
    bool read_more(steady::time_point deadline);
    // Collects what the gang prints during `ms`.
    void read_for(int ms);
    // Waits until the output holds `text`; false after `ms` or at the gang's end.
    bool wait_for(const std::string& text, int ms = 60000);
    // The gang's exit code once it has ended by itself; -1 when it had to be killed.
    int finish(int ms = 60000);
    int count(const std::string& text) const;
};
