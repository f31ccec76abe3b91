#include "bench.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <iterator>

#include "link/os_port.h"

double ms_since(bench_clock::time_point start)
{
    return std::chrono::duration<double, std::milli>(bench_clock::now() - start).count();
}

double figure::median() const
{
    if (runs.empty())
        return 0;
    std::vector<double> sorted = runs;
    std::sort(sorted.begin(), sorted.end());
    size_t n = sorted.size();
    return n % 2 ? sorted[n / 2] : (sorted[n / 2 - 1] + sorted[n / 2]) / 2;
}

double figure::min() const { return runs.empty() ? 0 : *std::min_element(runs.begin(), runs.end()); }
double figure::max() const { return runs.empty() ? 0 : *std::max_element(runs.begin(), runs.end()); }

namespace {

// Enough digits for the figure's size, not more.
std::string number(double v)
{
    char text[32];
    double a = v < 0 ? -v : v;
    snprintf(text, sizeof text, a >= 100 ? "%.0f" : a >= 10 ? "%.1f" : a >= 1 ? "%.2f" : "%.3f", v);
    return text;
}

}  // namespace

void print_table_head()
{
    printf("%-46s %10s %19s %5s %10s %7s  %s\n", "measured", "median", "spread (min-max)", "runs", "limit", "ratio",
           "note");
}

void print_row(const std::string& what, const figure& measured, const std::string& unit, double limit,
               const std::string& note)
{
    std::string spread = number(measured.min()) + "-" + number(measured.max());
    std::string median = number(measured.median()) + " " + unit;
    std::string limit_text = limit > 0 ? number(limit) + " " + unit : "";
    char ratio[16] = "";
    if (limit > 0)
        snprintf(ratio, sizeof ratio, "%.3f", measured.median() / limit);
    printf("%-46s %10s %19s %5zu %10s %7s  %s\n", what.c_str(), median.c_str(), spread.c_str(), measured.runs.size(),
           limit_text.c_str(), ratio, note.c_str());
    fflush(stdout);
}

void print_note(const std::string& text)
{
    printf("  %s\n", text.c_str());
    fflush(stdout);
}

quiet_stdout::quiet_stdout()
{
    fflush(stdout);
    saved = dup(STDOUT_FILENO);
    int null = open("/dev/null", O_WRONLY | O_CLOEXEC);
    dup2(null, STDOUT_FILENO);
    close(null);
}

quiet_stdout::~quiet_stdout()
{
    fflush(stdout);
    dup2(saved, STDOUT_FILENO);
    close(saved);
}

bool child_program::start(const std::string& path, const std::vector<std::string>& args, const std::string& cwd)
{
    int to_child[2], from_child[2], exec_done[2];  // exec_done: closed by the exec itself
    if (pipe2(to_child, O_CLOEXEC) != 0 || pipe2(from_child, O_CLOEXEC) != 0 || pipe2(exec_done, O_CLOEXEC) != 0)
        return false;
    fflush(stdout);
    pid = fork();
    if (pid == 0) {
        dup2(to_child[0], STDIN_FILENO);
        dup2(from_child[1], STDOUT_FILENO);
        if (chdir(cwd.c_str()) != 0)
            _exit(127);
        std::vector<char*> argv;
        argv.push_back(const_cast<char*>(path.c_str()));
        for (const std::string& a : args)
            argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        execv(path.c_str(), argv.data());
        _exit(127);
    }
    close(to_child[0]);
    close(from_child[1]);
    close(exec_done[1]);
    char ignored;
    while (read(exec_done[0], &ignored, 1) < 0 && errno == EINTR) {
    }
    close(exec_done[0]);  // from here on its memory is the program's own
    in = to_child[1];
    out = from_child[0];
    return pid > 0;
}

bool child_program::wait_for(const std::string& text, int ms)
{
    auto start = bench_clock::now();
    for (;;) {
        size_t at = shown.find(text, matched);
        if (at != std::string::npos) {
            matched = at + text.size();
            return true;
        }
        int left = ms - int(ms_since(start));
        pollfd p = {out, POLLIN, 0};
        if (left <= 0 || poll(&p, 1, left) <= 0)
            return false;
        char buffer[4096];
        ssize_t n = read(out, buffer, sizeof buffer);
        if (n <= 0)
            return false;
        shown.append(buffer, size_t(n));
    }
}

void child_program::drain_for(int ms)
{
    auto start = bench_clock::now();
    for (int left = ms; left > 0; left = ms - int(ms_since(start))) {
        note_peak();
        pollfd p = {out, POLLIN, 0};
        if (poll(&p, 1, std::min(left, 20)) > 0) {
            char buffer[4096];
            if (read(out, buffer, sizeof buffer) <= 0)
                usleep(1000);  // ended: nothing more will come
        }
    }
}

bool child_program::finish(int ms)
{
    close(in);
    auto start = bench_clock::now();
    int status = 0;
    bool ended = false;
    while (!ended && ms_since(start) < ms) {
        drain_for(5);
        ended = waitpid(pid, &status, WNOHANG) == pid;
    }
    if (!ended) {
        kill(pid, SIGKILL);
        waitpid(pid, &status, 0);
    }
    close(out);
    return ended;
}

void child_program::note_peak()
{
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string field;
    double kib = 0;
    while (status >> field)
        if (field == "VmHWM:" && status >> kib)
            peak_mib = std::max(peak_mib, kib / 1024);
}

double cpu_ms_of(pid_t pid)
{
    std::ifstream stat("/proc/" + std::to_string(pid) + "/schedstat");
    double ns = 0;
    stat >> ns;
    return ns / 1e6;
}

double thread_cpu_ms()
{
    timespec t;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return double(t.tv_sec) * 1e3 + double(t.tv_nsec) / 1e6;
}

read_counters port_reads;

extern "C" long __real__Z12os_port_readP7os_portPvm(os_port* port, void* buffer, size_t n);

// The linker sends the program's calls of os_port_read here (its mangled name is wrapped).
extern "C" long __wrap__Z12os_port_readP7os_portPvm(os_port* port, void* buffer, size_t n)
{
    auto start = bench_clock::now();
    long r = __real__Z12os_port_readP7os_portPvm(port, buffer, n);
    port_reads.reads++;
    port_reads.empty += r <= 0;
    port_reads.wait_ms += ms_since(start);
    return r;
}

std::string read_file(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}
