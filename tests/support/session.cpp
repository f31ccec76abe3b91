#include "support/session.h"
#include "support/support.h"

#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>

namespace {

using steady = std::chrono::steady_clock;

int ms_left(steady::time_point deadline)
{
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - steady::now()).count();
    return left > 0 ? static_cast<int>(left) : 0;
}

}  // namespace

// Adds what the program shows next to the transcript; false after the deadline or once the
// program has ended. The terminal turns each line end into CR LF; the tools print no CR.
bool session::read_more(std::chrono::steady_clock::time_point deadline)
{
    pollfd p = {terminal, POLLIN, 0};
    if (poll(&p, 1, ms_left(deadline)) <= 0)
        return false;
    char chunk[4096];
    ssize_t r = read(terminal, chunk, sizeof chunk);
    if (r > 0)
        raw.append(chunk, static_cast<size_t>(r));
    for (ssize_t i = 0; i < r; i++)
        if (chunk[i] != '\r')
            transcript += chunk[i];
    return r > 0;
}

int reap_by(pid_t pid, std::chrono::steady_clock::time_point deadline)
{
    int status = 0;
    while (waitpid(pid, &status, WNOHANG) == 0) {
        if (steady::now() > deadline) {
            kill(pid, SIGKILL);
            waitpid(pid, &status, 0);
            break;
        }
        usleep(10000);
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::string program_path(const std::string& name)
{
    return std::string(PELMO4RIX_BIN_DIR) + "/" + name;
}

session::~session()
{
    if (pid > 0 && !reaped) {
        kill(pid, SIGKILL);
        waitpid(pid, nullptr, 0);
    }
    if (terminal >= 0)
        close(terminal);
}

bool session::start(const std::string& program, const std::string& cwd, const std::string& device_dir,
                    const std::vector<std::string>& args)
{
    winsize size = {40, 120, 0, 0};
    const pid_t test = getpid();
    pid = forkpty(&terminal, nullptr, nullptr, &size);
    if (pid < 0)
        return false;
    if (pid == 0) {
        end_with_test(test);
        if (chdir(cwd.c_str()) != 0)
            _exit(127);
        setenv("PELMO4RIX_DEVICE_DIR", device_dir.c_str(), 1);
        std::string path = program_path(program);
        std::vector<char*> argv = {path.data()};
        for (const std::string& a : args)
            argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        execv(path.c_str(), argv.data());
        _exit(127);
    }
    return true;
}

bool session::wait_for(const std::string& text, int ms)
{
    return wait_after(transcript, seen, text, ms, [this](steady::time_point deadline) { return read_more(deadline); });
}

void session::type(const std::string& keys)
{
    if (write(terminal, keys.data(), keys.size()) < 0) {
    }
}

bool session::wait_for_line_editing(int ms)
{
    // The pseudo-terminal's mode, read on our side, is the one the program set on its side.
    auto deadline = steady::now() + std::chrono::milliseconds(ms);
    while (!in_line_mode(terminal)) {
        if (steady::now() > deadline)
            return false;
        usleep(1000);
    }
    return true;
}

int session::finish(int ms)
{
    auto deadline = steady::now() + std::chrono::milliseconds(ms);
    while (read_more(deadline)) {
    }
    reaped = true;
    return reap_by(pid, deadline);
}

void session::kill_now(int signal)
{
    kill(pid, signal);
}
