// The shared operating system needs on POSIX (Linux): child processes, sockets, names.
#include "common/os.h"

#include <fcntl.h>
#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

extern char** environ;

struct os_worker {
    pid_t pid;
    int output;  // read end of the worker's standard output
    bool ended = false;
    int status = 0;  // from waitpid, once ended
};

namespace {

// In the child between fork and exec: its parent's process group and life are not its own.
// Standard input from `input`, output into `output`, errors into `errors` (-1: the null device).
[[noreturn]] void become_child(const std::vector<std::string>& argv, char** environment, int input, int output,
                               int errors, pid_t parent)
{
    setpgid(0, 0);
    prctl(PR_SET_PDEATHSIG, SIGTERM);
    if (getppid() != parent)  // the parent died before the line above
        _exit(EXIT_FAILURE);
    int null_device = open("/dev/null", O_RDWR);
    dup2(input >= 0 ? input : null_device, STDIN_FILENO);
    dup2(output, STDOUT_FILENO);
    dup2(errors >= 0 ? errors : null_device, STDERR_FILENO);
    signal(SIGINT, SIG_DFL);
    signal(SIGTERM, SIG_DFL);
    signal(SIGPIPE, SIG_DFL);
    std::vector<char*> args;
    for (const std::string& a : argv)
        args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    execve(args[0], args.data(), environment);
    _exit(127);
}

// Forks `argv` (argv[0] a path) with its standard output into a pipe that the program reads.
os_worker* start_child(const std::vector<std::string>& argv, char** environment, int input, bool errors_too)
{
    int pipe_ends[2];
    if (argv.empty() || pipe2(pipe_ends, O_CLOEXEC) != 0)
        return nullptr;
    pid_t parent = getpid();
    pid_t pid = fork();
    if (pid == 0)
        become_child(argv, environment, input, pipe_ends[1], errors_too ? pipe_ends[1] : -1, parent);
    close(pipe_ends[1]);
    if (pid < 0) {
        close(pipe_ends[0]);
        return nullptr;
    }
    fcntl(pipe_ends[0], F_SETFL, O_NONBLOCK);
    return new os_worker{pid, pipe_ends[0]};
}

// `name` as a shell finds a command: itself when it holds a slash, else the first
// executable file of that name in a directory of the PATH.
std::string find_command(const std::string& name)
{
    const char* path = getenv("PATH");
    if (name.find('/') != std::string::npos || !path)
        return name;
    std::string dirs = path;
    for (size_t start = 0;;) {
        size_t colon = dirs.find(':', start);
        std::string dir = dirs.substr(start, colon == std::string::npos ? std::string::npos : colon - start);
        std::string candidate = (dir.empty() ? "." : dir) + "/" + name;
        if (access(candidate.c_str(), X_OK) == 0)
            return candidate;
        if (colon == std::string::npos)
            return name;
        start = colon + 1;
    }
}

// The program's environment with `added` (NAME=VALUE) in place of variables of the same names.
std::vector<std::string> environment_with(const std::vector<std::string>& added)
{
    std::vector<std::string> all;
    for (char** e = environ; *e; e++) {
        std::string entry = *e;
        bool replaced = false;
        for (const std::string& a : added)
            replaced = replaced || entry.compare(0, a.find('=') + 1, a, 0, a.find('=') + 1) == 0;
        if (!replaced)
            all.push_back(entry);
    }
    all.insert(all.end(), added.begin(), added.end());
    return all;
}

}  // namespace

os_worker* os_worker_start(const std::vector<std::string>& argv)
{
    return start_child(argv, environ, -1, false);
}

os_worker* os_hook_start(const std::vector<std::string>& argv, const std::vector<std::string>& environment,
                         const std::string& input)
{
    if (argv.empty())
        return nullptr;
    FILE* input_file = tmpfile();
    if (!input_file)
        return nullptr;
    bool written = fwrite(input.data(), 1, input.size(), input_file) == input.size() && fflush(input_file) == 0 &&
                   fseek(input_file, 0, SEEK_SET) == 0;
    std::vector<std::string> args = argv;
    args[0] = find_command(argv[0]);
    std::vector<std::string> variables = environment_with(environment);
    std::vector<char*> pointers;
    for (std::string& v : variables)
        pointers.push_back(&v[0]);
    pointers.push_back(nullptr);
    os_worker* hook = written ? start_child(args, pointers.data(), fileno(input_file), true) : nullptr;
    fclose(input_file);
    return hook;
}

bool os_worker_read(os_worker* worker, std::string& out)
{
    char buffer[4096];
    for (;;) {
        ssize_t n = read(worker->output, buffer, sizeof buffer);
        if (n > 0)
            out.append(buffer, static_cast<size_t>(n));
        else if (n == 0)
            return false;
        else
            return errno == EAGAIN || errno == EINTR;
    }
}

void os_worker_wait(const std::vector<os_worker*>& workers, int ms)
{
    std::vector<pollfd> fds;
    for (const os_worker* worker : workers)
        fds.push_back({worker->output, POLLIN, 0});
    poll(fds.data(), fds.size(), ms);
}

void os_worker_stop(os_worker* worker)
{
    kill(worker->pid, SIGTERM);
}

void os_worker_kill(os_worker* worker)
{
    // Its whole process group: what a hook started ends with it. Just after the start the
    // child may not lead its group yet.
    if (kill(-worker->pid, SIGKILL) != 0)
        kill(worker->pid, SIGKILL);
}

bool os_worker_ended(os_worker* worker)
{
    if (!worker->ended && waitpid(worker->pid, &worker->status, WNOHANG) == worker->pid)
        worker->ended = true;
    return worker->ended;
}

int os_worker_finish(os_worker* worker)
{
    int status = worker->status;
    while (!worker->ended && waitpid(worker->pid, &status, 0) < 0 && errno == EINTR) {
    }
    close(worker->output);
    delete worker;
    return WIFSIGNALED(status) ? 128 + WTERMSIG(status) : WEXITSTATUS(status);
}

long os_worker_id(const os_worker* worker)
{
    return worker->pid;
}

std::string os_program_path()
{
    char path[PATH_MAX];
    ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
    return n > 0 ? std::string(path, static_cast<size_t>(n)) : std::string();
}

std::string os_host_name()
{
    char name[256] = {};
    return gethostname(name, sizeof name - 1) == 0 ? name : "unknown";
}

void os_binary_input() {}

int os_tcp_send(const std::string& host, int port, const std::string& data, std::string& error)
{
    addrinfo hints = {};
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    int looked_up = getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &found);
    if (looked_up != 0) {
        error = "unknown host " + host + ": " + gai_strerror(looked_up);
        return 0;
    }
    int s = -1;
    for (addrinfo* a = found; a && s < 0; a = a->ai_next) {
        s = socket(a->ai_family, a->ai_socktype | SOCK_CLOEXEC, a->ai_protocol);
        if (s >= 0 && connect(s, a->ai_addr, a->ai_addrlen) != 0) {
            error = strerror(errno);
            close(s);
            s = -1;
        }
    }
    freeaddrinfo(found);
    if (s < 0) {
        error = host + ":" + std::to_string(port) + ": " + (error.empty() ? "no address" : error);
        return 0;
    }
    size_t sent = 0;
    while (sent < data.size()) {
        ssize_t n = send(s, data.data() + sent, data.size() - sent, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            error = host + ":" + std::to_string(port) + ": " + strerror(errno);
            close(s);
            return 0;
        }
        sent += static_cast<size_t>(n);
    }
    shutdown(s, SHUT_WR);
    return close(s) == 0;
}

bool os_socket_address(const std::string& host, int port, std::vector<unsigned char>& address, bool& ipv6)
{
    addrinfo hints = {};
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_PASSIVE | AI_NUMERICSERV;
    addrinfo* found = nullptr;
    if (getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &found) != 0 || !found)
        return false;
    const unsigned char* bytes = reinterpret_cast<const unsigned char*>(found->ai_addr);
    address.assign(bytes, bytes + found->ai_addrlen);
    ipv6 = found->ai_family == AF_INET6;
    freeaddrinfo(found);
    return true;
}
