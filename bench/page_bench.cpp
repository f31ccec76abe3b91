// The gang's page under load: requests per second to /api/status (wrk, Debian's package) while
// eight units are programmed at line rate, and the gang's table redraw gaps meanwhile, beside
// the same run without requests. The page must not slow the gang: the gaps are meant to stay
// as they are without load (200 ms).
//   usage: page_bench [SECONDS]   (default 8; each of the two runs)
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
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
constexpr int UNITS = 8;
constexpr char WRK_LOAD[] = "-t2 -c16";  // two threads, sixteen connections: a busy line's screens and more

std::string make_dir()
{
    char path[] = "/tmp/page_bench.XXXXXX";
    if (!mkdtemp(path)) {
        perror("page_bench: mkdtemp");
        exit(1);
    }
    return path;
}

int free_port()
{
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    bool got = bind(fd, reinterpret_cast<sockaddr*>(&address), length) == 0 &&
               getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) == 0;
    close(fd);
    return got ? ntohs(address.sin_port) : 0;
}

// The times of the table's redraws on `terminal` during `seconds`.
std::vector<double> redraw_times(int terminal, double seconds)
{
    std::vector<double> times;
    std::string tail;
    auto start = clock_type::now();
    for (;;) {
        double now = std::chrono::duration<double>(clock_type::now() - start).count();
        if (now >= seconds)
            return times;
        pollfd p = {terminal, POLLIN, 0};
        if (poll(&p, 1, 50) <= 0)
            continue;
        char chunk[65536];
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

struct run_figures {
    std::vector<double> gaps;  // sorted, seconds
    std::string wrk;           // wrk's requests/s line, when it ran
};

// One gang with eight units at line rate on a terminal of its own; with `load` wrk asks for
// /api/status all the while.
bool run_gang(double seconds, bool load, run_figures& figures)
{
    std::string dir = make_dir();
    setenv("PELMO4RIX_DEVICE_DIR", dir.c_str(), 1);
    std::vector<vunit*> units;
    std::string ports;
    for (int i = 1; i <= UNITS; i++) {
        vunit_config config;
        config.device_dir = dir;
        config.name = "COM" + std::to_string(i);
        config.line_rate = true;
        std::string error;
        vunit* unit = vunit_start(config, error);
        if (!unit) {
            fprintf(stderr, "page_bench: %s\n", error.c_str());
            return false;
        }
        units.push_back(unit);
        ports += (i > 1 ? "," : "") + config.name;
    }
    int terminal = posix_openpt(O_RDWR | O_NOCTTY);
    if (terminal < 0 || grantpt(terminal) != 0 || unlockpt(terminal) != 0)
        return false;
    std::string terminal_path = ptsname(terminal);
    const std::string http = "127.0.0.1:" + std::to_string(free_port());
    pid_t gang = fork();
    if (gang == 0) {
        setsid();
        int own = open(terminal_path.c_str(), O_RDWR);  // becomes the gang's controlling terminal
        if (own < 0 || chdir(dir.c_str()) != 0)
            _exit(127);
        dup2(own, 0);
        dup2(own, 1);
        dup2(own, 2);
        std::string program = std::string(PELMO4RIX_BIN_DIR) + "/pelmo4rix";
        execl(program.c_str(), program.c_str(), "gang", "--ports", ports.c_str(), "--http", http.c_str(),
              static_cast<char*>(nullptr));
        _exit(127);
    }
    FILE* wrk = nullptr;
    if (load) {
        usleep(500000);  // the page is up
        char command[256];
        snprintf(command, sizeof command, "wrk %s -d%ds http://%s/api/status 2>&1", WRK_LOAD,
                 static_cast<int>(seconds), http.c_str());
        wrk = popen(command, "r");
    }
    std::vector<double> times = redraw_times(terminal, seconds);
    if (wrk) {
        char line[256];
        while (fgets(line, sizeof line, wrk))
            if (std::string(line).find("Requests/sec") != std::string::npos)
                figures.wrk = line;
        pclose(wrk);
    }
    kill(gang, SIGKILL);
    waitpid(gang, nullptr, 0);
    for (vunit* unit : units)
        vunit_stop(unit);
    close(terminal);
    std::string clean = "rm -rf " + dir;
    if (system(clean.c_str()) != 0)
        fprintf(stderr, "page_bench: %s was not removed\n", dir.c_str());
    for (size_t i = 1; i < times.size(); i++)
        figures.gaps.push_back(times[i] - times[i - 1]);
    std::sort(figures.gaps.begin(), figures.gaps.end());
    return figures.gaps.size() >= 2;
}

void print_gaps(const char* when, const std::vector<double>& gaps)
{
    printf("table redraw gap %-22s median %4.0f ms, 95th %4.0f ms, longest %4.0f ms\n", when,
           1000 * gaps[gaps.size() / 2], 1000 * gaps[gaps.size() * 95 / 100], 1000 * gaps.back());
}

}  // namespace

int main(int argc, char** argv)
{
    double seconds = argc > 1 ? atof(argv[1]) : 8;
    if (system("command -v wrk >/dev/null") != 0) {
        fprintf(stderr, "page_bench: wrk not found (Debian package wrk)\n");
        return 1;
    }
    run_figures quiet, loaded;
    if (!run_gang(seconds, false, quiet) || !run_gang(seconds, true, loaded)) {
        fprintf(stderr, "page_bench: the gang drew no table\n");
        return 1;
    }
    printf("eight units at line rate, %.0f s each run (goal: the gaps as without requests)\n", seconds);
    print_gaps("without requests", quiet.gaps);
    print_gaps("under wrk", loaded.gaps);
    printf("/api/status under wrk %s: %s", WRK_LOAD, loaded.wrk.empty() ? "no figure from wrk\n" : loaded.wrk.c_str());
    return 0;
}
