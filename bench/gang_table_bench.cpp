// How steadily the gang's table is redrawn while it probes a port that opens but has no unit
// behind it (each such probe waits out its reply, about 1.2 s), beside a unit being programmed
// at line rate. The table is meant to be redrawn every 200 ms whatever the probes do.
//   usage: gang_table_bench [SECONDS]   (default 12)
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "vunit.h"

namespace {

using clock_type = std::chrono::steady_clock;
constexpr char REDRAW_END[] = "\033[J";  // closes every redraw of the table

std::string make_dir()
{
    char path[] = "/tmp/gang_table_bench.XXXXXX";
    if (!mkdtemp(path)) {
        perror("gang_table_bench: mkdtemp");
        exit(1);
    }
    return path;
}

// A new pseudo-terminal: our side in `master`, the path of the terminal side; 0 on failure.
// (The virtual unit's own pty.h hides the C library's, so no openpty here.)
int open_terminal(int& master, std::string& terminal)
{
    master = posix_openpt(O_RDWR | O_NOCTTY);
    if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0)
        return 0;
    terminal = ptsname(master);
    return 1;
}

// The times of the table's redraws during `seconds`.
std::vector<double> redraw_times(int terminal, int silent_port, double seconds)
{
    std::vector<double> times;
    std::string tail;
    auto start = clock_type::now();
    for (;;) {
        double now = std::chrono::duration<double>(clock_type::now() - start).count();
        if (now >= seconds)
            return times;
        pollfd fds[2] = {{terminal, POLLIN, 0}, {silent_port, POLLIN, 0}};
        if (poll(fds, 2, 50) <= 0)
            continue;
        char chunk[65536];
        if (fds[1].revents & POLLIN && read(silent_port, chunk, sizeof chunk) < 0)
            return times;  // what the probes send goes nowhere
        if (!(fds[0].revents & POLLIN))
            continue;
        ssize_t n = read(terminal, chunk, sizeof chunk);
        if (n <= 0)
            return times;
        tail += std::string(chunk, static_cast<size_t>(n));
        for (size_t at; (at = tail.find(REDRAW_END)) != std::string::npos; tail.erase(0, at + 3))
            times.push_back(now);
        if (tail.size() > 4)
            tail.erase(0, tail.size() - 4);
    }
}

}  // namespace

int main(int argc, char** argv)
{
    double seconds = argc > 1 ? atof(argv[1]) : 12;
    std::string dir = make_dir();
    setenv("PELMO4RIX_DEVICE_DIR", dir.c_str(), 1);
    vunit_config config;
    config.device_dir = dir;
    config.name = "COM7";
    config.line_rate = true;
    std::string error;
    vunit* unit = vunit_start(config, error);
    if (!unit) {
        fprintf(stderr, "gang_table_bench: %s\n", error.c_str());
        return 1;
    }
    int silent_port = -1, terminal = -1;  // a port that opens, with nothing behind it; the gang's terminal
    std::string silent_path, terminal_path;
    if (!open_terminal(silent_port, silent_path) || symlink(silent_path.c_str(), (dir + "/COM8").c_str()) != 0 ||
        !open_terminal(terminal, terminal_path)) {
        perror("gang_table_bench: a pseudo-terminal");
        return 1;
    }
    int held = open(silent_path.c_str(), O_RDWR | O_NOCTTY);  // the port stays there between the probes
    pid_t pid = fork();
    if (pid == 0) {
        setsid();
        int own = open(terminal_path.c_str(), O_RDWR);  // becomes the gang's controlling terminal
        if (own < 0 || chdir(dir.c_str()) != 0)
            _exit(127);
        dup2(own, 0);
        dup2(own, 1);
        dup2(own, 2);
        std::string program = std::string(PELMO4RIX_BIN_DIR) + "/pelmo4rix";
        execl(program.c_str(), program.c_str(), "gang", "--ports", "COM7,COM8", static_cast<char*>(nullptr));
        _exit(127);
    }
    std::vector<double> times = redraw_times(terminal, silent_port, seconds);
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
    vunit_stop(unit);
    close(held);
    std::string clean = "rm -rf " + dir;
    if (system(clean.c_str()) != 0)
        fprintf(stderr, "gang_table_bench: %s was not removed\n", dir.c_str());
    if (times.size() < 3) {
        fprintf(stderr, "gang_table_bench: the gang drew no table\n");
        return 1;
    }
    std::vector<double> gaps;
    for (size_t i = 1; i < times.size(); i++)
        gaps.push_back(times[i] - times[i - 1]);
    std::sort(gaps.begin(), gaps.end());
    printf("%-58s %6zu\n", "table redraws in the run", times.size());
    printf("%-58s %6.0f ms\n", "gap between redraws, median (goal: 200 ms)", 1000 * gaps[gaps.size() / 2]);
    printf("%-58s %6.0f ms\n", "gap between redraws, longest (a probe takes about 1.2 s)", 1000 * gaps.back());
    return 0;
}
