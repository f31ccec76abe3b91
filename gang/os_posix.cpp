// The gang's operating system needs on POSIX (Linux).
#include "gang/os.h"

#include <fcntl.h>
#include <netdb.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <climits>

struct os_worker {
    pid_t pid;
    int output;  // read end of the worker's standard output
};

namespace {

volatile sig_atomic_t stop_requests = 0;

void count_stop_request(int)
{
    stop_requests = stop_requests + 1;
}

// In the child between fork and exec: the gang's process group and life are not its own.
[[noreturn]] void become_worker(const std::vector<std::string>& argv, int output, pid_t gang)
{
    setpgid(0, 0);
    prctl(PR_SET_PDEATHSIG, SIGTERM);
    if (getppid() != gang)  // the gang died before the line above
        _exit(EXIT_FAILURE);
    int null_device = open("/dev/null", O_RDWR);
    dup2(null_device, STDIN_FILENO);
    dup2(output, STDOUT_FILENO);
    dup2(null_device, STDERR_FILENO);
    signal(SIGINT, SIG_DFL);
    signal(SIGTERM, SIG_DFL);
    std::vector<char*> args;
    for (const std::string& a : argv)
        args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    execv(args[0], args.data());
    _exit(127);
}

}  // namespace

os_worker* os_worker_start(const std::vector<std::string>& argv)
{
    int pipe_ends[2];
    if (argv.empty() || pipe2(pipe_ends, O_CLOEXEC) != 0)
        return nullptr;
    pid_t gang = getpid();
    pid_t pid = fork();
    if (pid == 0)
        become_worker(argv, pipe_ends[1], gang);
    close(pipe_ends[1]);
    if (pid < 0) {
        close(pipe_ends[0]);
        return nullptr;
    }
    fcntl(pipe_ends[0], F_SETFL, O_NONBLOCK);
    return new os_worker{pid, pipe_ends[0]};
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
    kill(worker->pid, SIGKILL);
}

int os_worker_finish(os_worker* worker)
{
    int status = 0;
    while (waitpid(worker->pid, &status, 0) < 0 && errno == EINTR) {
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

void os_watch_stop_requests()
{
    struct sigaction action = {};
    action.sa_handler = count_stop_request;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
    signal(SIGPIPE, SIG_IGN);  // a reader of the event lines that went away is a failed write
}

int os_stop_requests()
{
    return stop_requests;
}

bool os_live_display()
{
    return isatty(STDOUT_FILENO) != 0;
}

bool os_keys_typed()
{
    return isatty(STDIN_FILENO) != 0;
}

std::string os_host_name()
{
    char name[256] = {};
    return gethostname(name, sizeof name - 1) == 0 ? name : "unknown";
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
