// How long programming a unit at line rate takes with the scriptable front end and with the
// firmware update tool: the same virtual unit (at the simulated baud), the real programs,
// timed from start to exit. The front end should take no longer than the tool.
//   usage: cli_bench [RUNS]
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "vunit/vunit.h"

namespace {

struct timed_run {
    double seconds = 0;
    int exit_code = -1;
    std::string output;
};

// Runs `argv` with `input` on its standard input, its output kept in a file.
timed_run run(const std::vector<std::string>& argv, const std::string& input)
{
    char output_path[] = "/tmp/pelmo4rix-bench-XXXXXX";
    int output = mkstemp(output_path);
    int in[2];
    if (output < 0 || pipe(in) != 0)
        return {};
    auto start = std::chrono::steady_clock::now();
    pid_t pid = fork();
    if (pid == 0) {
        dup2(in[0], 0);
        dup2(output, 1);
        dup2(output, 2);
        close(in[1]);
        std::vector<char*> args;
        for (const std::string& a : argv)
            args.push_back(const_cast<char*>(a.c_str()));
        args.push_back(nullptr);
        execv(args[0], args.data());
        _exit(127);
    }
    close(in[0]);
    if (write(in[1], input.data(), input.size()) < 0) {
    }
    close(in[1]);
    int status = 0;
    waitpid(pid, &status, 0);
    timed_run r;
    r.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    r.exit_code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    std::stringstream text;
    text << std::ifstream(output_path).rdbuf();
    r.output = text.str();
    close(output);
    unlink(output_path);
    return r;
}

// Programs a fresh line-rate unit with `argv`; the seconds taken, or -1 when it failed.
double program_once(const std::string& dir, const std::vector<std::string>& argv, const std::string& input,
                    const std::string& success)
{
    vunit_config config;
    config.device_dir = dir;
    config.list = true;
    config.line_rate = true;
    std::string error;
    vunit* unit = vunit_start(config, error);
    if (!unit) {
        fprintf(stderr, "cli_bench: %s\n", error.c_str());
        exit(1);
    }
    timed_run r = run(argv, input);
    vunit_stop(unit);
    unlink((dir + "/SERIALCOMM").c_str());
    return r.output.find(success) != std::string::npos ? r.seconds : -1;
}

}  // namespace

int main(int argc, char** argv)
{
    int runs = argc > 1 ? atoi(argv[1]) : 3;
    char dir_pattern[] = "/tmp/pelmo4rix-bench-dir-XXXXXX";
    std::string dir = mkdtemp(dir_pattern);
    setenv("PELMO4RIX_DEVICE_DIR", dir.c_str(), 1);
    const std::string bin = PELMO4RIX_BIN_DIR;
    struct contender {
        const char* name;
        std::vector<std::string> argv;
        std::string input, success;
        double total = 0;
        int done = 0;
    } contenders[] = {
        {"pelmo4rix flash", {bin + "/pelmo4rix", "--quiet", "flash"}, "", "restarted  yes"},
        {"pelmo4rix-update", {bin + "/pelmo4rix-update"}, "y\n", "Success"},
    };
    for (int i = 0; i < runs; i++)
        for (contender& c : contenders) {
            double seconds = program_once(dir, c.argv, c.input, c.success);
            if (seconds >= 0) {
                c.total += seconds;
                c.done++;
            }
        }
    printf("programming a line-rate unit (8 Mbit plan, %d runs each), start to exit:\n", runs);
    for (const contender& c : contenders) {
        if (c.done)
            printf("  %-18s %6.2f s\n", c.name, c.total / c.done);
        else
            printf("  %-18s did not program the unit\n", c.name);
    }
    rmdir(dir.c_str());
    return 0;
}
