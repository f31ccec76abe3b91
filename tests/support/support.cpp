#include "support/support.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace fs = std::filesystem;

temp_dir::temp_dir()
{
    char pattern[] = "/tmp/pelmo4rix-test-XXXXXX";
    path = mkdtemp(pattern);
}

temp_dir::~temp_dir()
{
    std::error_code ignored;
    fs::permissions(path, fs::perms::owner_all, fs::perm_options::add, ignored);
    fs::remove_all(path, ignored);
}

scoped_env::scoped_env(const std::string& name_, const std::string& value) : name(name_)
{
    const char* current = getenv(name.c_str());
    had = current != nullptr;
    old = had ? current : "";
    setenv(name.c_str(), value.c_str(), 1);
}

scoped_env::~scoped_env()
{
    if (had)
        setenv(name.c_str(), old.c_str(), 1);
    else
        unsetenv(name.c_str());
}

far_end::far_end()
{
    int terminal_fd = -1;
    char name[128];
    termios raw;
    cfmakeraw(&raw);
    cfsetspeed(&raw, B115200);
    if (openpty(&master, &terminal_fd, name, &raw, nullptr) == 0) {
        terminal = name;
        // Keep the terminal side open ourselves so the program's close never hangs it up.
        fcntl(terminal_fd, F_SETFD, FD_CLOEXEC);
        fcntl(master, F_SETFD, FD_CLOEXEC);
        held_terminal = terminal_fd;
    }
}

far_end::~far_end()
{
    if (held_terminal >= 0)
        close(held_terminal);
    if (master >= 0)
        close(master);
}

void far_end::link_as(const std::string& dir, const std::string& name) const
{
    fs::create_symlink(terminal, dir + "/" + name);
}

std::vector<uint8_t> far_end::read(size_t n, int ms) const
{
    std::vector<uint8_t> bytes;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (bytes.size() < n) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0)
            break;
        pollfd p = {master, POLLIN, 0};
        if (poll(&p, 1, static_cast<int>(left.count())) <= 0)
            break;
        uint8_t chunk[4096];
        ssize_t r = ::read(master, chunk, std::min(sizeof chunk, n - bytes.size()));
        if (r <= 0)
            break;
        bytes.insert(bytes.end(), chunk, chunk + r);
    }
    return bytes;
}

void far_end::write(const std::vector<uint8_t>& bytes) const
{
    size_t done = 0;
    while (done < bytes.size()) {
        ssize_t r = ::write(master, bytes.data() + done, bytes.size() - done);
        if (r <= 0)
            break;
        done += static_cast<size_t>(r);
    }
}

void write_file(const std::string& path, const std::string& content)
{
    std::ofstream(path, std::ios::binary) << content;
}

std::string read_file(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::stringstream all;
    all << in.rdbuf();
    return all.str();
}

namespace {

// Reads everything from `fd` until it closes or `deadline`; false when the deadline came first.
bool drain(int fd, std::string& out, std::chrono::steady_clock::time_point deadline)
{
    for (;;) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0)
            return false;
        pollfd p = {fd, POLLIN, 0};
        if (poll(&p, 1, static_cast<int>(left.count())) <= 0)
            continue;
        char chunk[4096];
        ssize_t r = read(fd, chunk, sizeof chunk);
        if (r <= 0)
            return true;  // closed (EIO on a pseudo-terminal whose program has ended)
        out.append(chunk, static_cast<size_t>(r));
    }
}

}  // namespace

void end_with_test(pid_t test)
{
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (getppid() != test)  // it ended before the line above
        _exit(127);
}

void exec_program(const std::vector<std::string>& argv)
{
    std::vector<char*> args;
    for (const std::string& a : argv)
        args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    execv(args[0], args.data());
    _exit(127);
}

run_result run_program(const std::vector<std::string>& argv, const std::string& cwd, const std::string& input,
                       bool terminal, int timeout_ms, bool separate_errors)
{
    // Standard error kept apart goes to a file: a second pipe would need reading alongside.
    char errors_path[] = "/tmp/pelmo4rix-stderr-XXXXXX";
    int errors_fd = separate_errors ? mkstemp(errors_path) : -1;
    int in_pipe[2];
    int out_pipe[2] = {-1, -1};
    int out_master = -1;
    if (pipe(in_pipe) != 0)
        return {};
    if (terminal) {
        int slave;
        termios plain = {};  // every flag cleared: no output translation beyond ONLCR
        cfmakeraw(&plain);
        plain.c_oflag |= OPOST | ONLCR;
        if (openpty(&out_master, &slave, nullptr, &plain, nullptr) != 0)
            return {};
        out_pipe[1] = slave;
    } else if (pipe(out_pipe) != 0) {
        return {};
    }
    const pid_t test = getpid();
    pid_t pid = fork();
    if (pid == 0) {
        end_with_test(test);
        dup2(in_pipe[0], 0);
        dup2(out_pipe[1], 1);
        dup2(errors_fd >= 0 ? errors_fd : out_pipe[1], 2);
        // Only the copies on 0, 1 and 2 stay: a write end left open here would keep the
        // program's input from ever ending.
        for (int fd : {in_pipe[0], in_pipe[1], out_pipe[1], out_master, out_pipe[0], errors_fd})
            if (fd > 2)
                close(fd);
        if (chdir(cwd.c_str()) != 0)
            _exit(127);
        exec_program(argv);
    }
    close(in_pipe[0]);
    close(out_pipe[1]);
    if (out_pipe[0] >= 0)
        out_master = out_pipe[0];
    if (write(in_pipe[1], input.data(), input.size()) < 0) {
    }
    close(in_pipe[1]);

    run_result result;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    bool finished = drain(out_master, result.output, deadline);
    if (!finished)
        kill(pid, SIGKILL);
    int status = 0;
    waitpid(pid, &status, 0);
    close(out_master);
    if (finished && WIFEXITED(status))
        result.exit_code = WEXITSTATUS(status);
    if (errors_fd >= 0) {
        close(errors_fd);
        result.errors = read_file(errors_path);
        unlink(errors_path);
    }
    return result;
}

std::string hex(const std::vector<uint8_t>& bytes)
{
    std::string text;
    char two[4];
    for (uint8_t b : bytes) {
        snprintf(two, sizeof two, "%02X ", b);
        text += two;
    }
    if (!text.empty())
        text.pop_back();
    return text;
}

std::vector<uint8_t> unhex(const std::string& text)
{
    std::vector<uint8_t> bytes;
    std::istringstream in(text);
    std::string two;
    while (in >> two)
        bytes.push_back(static_cast<uint8_t>(std::stoul(two, nullptr, 16)));
    return bytes;
}

std::string address_text(int lap)
{
    char text[16];
    snprintf(text, sizeof text, "0604:03:%06x", lap);
    return text;
}

std::string address_text(const uint8_t address[6])
{
    char text[16];
    snprintf(text, sizeof text, "%02x%02x:%02x:%02x%02x%02x", address[5], address[4], address[3], address[2], address[1],
             address[0]);
    return text;
}

std::string address_file_line(int lap)
{
    char text[16];
    snprintf(text, sizeof text, "0604 03 %06x ", lap);
    return text;
}

double utc_seconds(const std::string& stamp)
{
    std::tm t = {};
    strptime(stamp.c_str(), "%Y-%m-%dT%H:%M:%SZ", &t);
    return static_cast<double>(timegm(&t));
}

std::vector<std::vector<std::string>> csv_rows(const std::string& text)
{
    std::vector<std::vector<std::string>> rows;
    std::vector<std::string> row;
    std::string cell;
    bool quoted = false, any = false;
    for (size_t i = 0; i < text.size(); i++) {
        const char c = text[i];
        any = true;
        if (quoted && c == '"' && i + 1 < text.size() && text[i + 1] == '"') {
            cell += '"';
            i++;
        } else if (c == '"') {
            quoted = !quoted;
        } else if (!quoted && c == ',') {
            row.push_back(cell);
            cell.clear();
        } else if (!quoted && (c == '\n' || c == '\r')) {
            if (c == '\r' && i + 1 < text.size() && text[i + 1] == '\n')
                i++;
            row.push_back(cell);
            rows.push_back(row);
            row.clear();
            cell.clear();
            any = false;
        } else {
            cell += c;
        }
    }
    if (any) {
        row.push_back(cell);
        rows.push_back(row);
    }
    return rows;
}

loopback_listener::loopback_listener()
{
    fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (fd >= 0 && bind(fd, reinterpret_cast<sockaddr*>(&address), length) == 0 && listen(fd, 1) == 0 &&
        getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) == 0)
        port = ntohs(address.sin_port);
}

loopback_listener::~loopback_listener()
{
    if (fd >= 0)
        close(fd);
}

bool in_line_mode(int terminal)
{
    termios mode{};
    return tcgetattr(terminal, &mode) == 0 && (mode.c_lflag & (ICANON | ECHO)) == (ICANON | ECHO);
}

bool in_keys_mode(int terminal)
{
    termios mode{};
    return tcgetattr(terminal, &mode) == 0 && (mode.c_lflag & (ICANON | ECHO)) == 0;
}
