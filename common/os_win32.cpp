// The shared operating system needs on Windows: child processes, sockets, names.
#include "common/os.h"

#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>

#include <fcntl.h>
#include <io.h>

#include <cstring>

struct os_worker {
    PROCESS_INFORMATION process;
    HANDLE output;  // read end of the worker's standard output
};

namespace {

HANDLE worker_job = nullptr;  // every worker belongs to it; it ends them when the program ends

HANDLE job()
{
    if (!worker_job) {
        worker_job = CreateJobObjectA(nullptr, nullptr);
        JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits = {};
        limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
        if (worker_job)
            SetInformationJobObject(worker_job, JobObjectExtendedLimitInformation, &limits, sizeof limits);
    }
    return worker_job;
}

// One command line from the arguments, quoted as the C runtime splits it again.
std::string command_line(const std::vector<std::string>& argv)
{
    std::string line;
    for (const std::string& a : argv) {
        if (!line.empty())
            line += ' ';
        if (!a.empty() && a.find_first_of(" \t\"") == std::string::npos) {
            line += a;
            continue;
        }
        line += '"';
        size_t backslashes = 0;
        for (char c : a) {
            if (c == '\\') {
                backslashes++;
                continue;
            }
            line.append(c == '"' ? backslashes * 2 + 1 : backslashes, '\\');
            backslashes = 0;
            line += c;
        }
        line.append(backslashes * 2, '\\');
        line += '"';
    }
    return line;
}

// The program's environment block with `added` (NAME=VALUE) in place of variables of the same
// names, as CreateProcess takes it: each entry ended by a zero, the block by one more.
std::string environment_block(const std::vector<std::string>& added)
{
    std::string block;
    char* own = GetEnvironmentStringsA();
    for (const char* e = own; e && *e; e += strlen(e) + 1) {
        std::string entry = e;
        bool replaced = false;
        for (const std::string& a : added)
            replaced = replaced || _strnicmp(entry.c_str(), a.c_str(), a.find('=') + 1) == 0;
        if (!replaced)
            block += entry + '\0';
    }
    if (own)
        FreeEnvironmentStringsA(own);
    for (const std::string& a : added)
        block += a + '\0';
    return block + '\0';
}

// A temporary file holding `input`, deleted when its last handle closes, for a child to inherit.
HANDLE input_file(const std::string& input)
{
    char dir[MAX_PATH], path[MAX_PATH];
    if (!GetTempPathA(sizeof dir, dir) || !GetTempFileNameA(dir, "p4r", 0, path))
        return INVALID_HANDLE_VALUE;
    SECURITY_ATTRIBUTES inherit = {sizeof inherit, nullptr, TRUE};
    HANDLE file = CreateFileA(path, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                              &inherit, CREATE_ALWAYS, FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_DELETE_ON_CLOSE, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return file;
    DWORD written = 0;
    if (!WriteFile(file, input.data(), static_cast<DWORD>(input.size()), &written, nullptr) || written != input.size() ||
        SetFilePointer(file, 0, nullptr, FILE_BEGIN) == INVALID_SET_FILE_POINTER) {
        CloseHandle(file);
        return INVALID_HANDLE_VALUE;
    }
    return file;
}

// Starts `argv` with its standard output (and with `errors_too` its errors) into a pipe that
// the program reads; `environment` a block for CreateProcess or nullptr for the program's own.
os_worker* start_child(const std::vector<std::string>& argv, const char* application, char* environment, HANDLE input,
                       bool errors_too)
{
    SECURITY_ATTRIBUTES inherit = {sizeof inherit, nullptr, TRUE};
    HANDLE read_end, write_end;
    if (argv.empty() || !CreatePipe(&read_end, &write_end, &inherit, 0))
        return nullptr;
    SetHandleInformation(read_end, HANDLE_FLAG_INHERIT, 0);
    HANDLE null_device = CreateFileA("NUL", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit,
                                     OPEN_EXISTING, 0, nullptr);
    STARTUPINFOA startup = {};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = input != INVALID_HANDLE_VALUE ? input : null_device;
    startup.hStdOutput = write_end;
    startup.hStdError = errors_too ? write_end : null_device;
    std::string line = command_line(argv);
    auto* worker = new os_worker{};
    BOOL started = CreateProcessA(application, &line[0], nullptr, nullptr, TRUE,
                                  CREATE_NEW_PROCESS_GROUP | CREATE_SUSPENDED, environment, nullptr, &startup,
                                  &worker->process);
    CloseHandle(write_end);
    CloseHandle(null_device);
    if (!started) {
        CloseHandle(read_end);
        delete worker;
        return nullptr;
    }
    AssignProcessToJobObject(job(), worker->process.hProcess);
    ResumeThread(worker->process.hThread);
    worker->output = read_end;
    return worker;
}

}  // namespace

os_worker* os_worker_start(const std::vector<std::string>& argv)
{
    return argv.empty() ? nullptr : start_child(argv, argv[0].c_str(), nullptr, INVALID_HANDLE_VALUE, false);
}

os_worker* os_hook_start(const std::vector<std::string>& argv, const std::vector<std::string>& environment,
                         const std::string& input)
{
    HANDLE in = input_file(input);
    if (argv.empty() || in == INVALID_HANDLE_VALUE)
        return nullptr;
    std::string block = environment_block(environment);
    // No application name: CreateProcess finds the command on the PATH as the console does.
    os_worker* hook = start_child(argv, nullptr, &block[0], in, true);
    CloseHandle(in);
    return hook;
}

bool os_worker_read(os_worker* worker, std::string& out)
{
    for (;;) {
        DWORD waiting = 0;
        if (!PeekNamedPipe(worker->output, nullptr, 0, nullptr, &waiting, nullptr))
            return false;  // the worker's end is closed
        if (waiting == 0)
            return true;
        char buffer[4096];
        DWORD n = 0;
        if (!ReadFile(worker->output, buffer, waiting < sizeof buffer ? waiting : sizeof buffer, &n, nullptr))
            return false;
        out.append(buffer, n);
    }
}

void os_worker_wait(const std::vector<os_worker*>& workers, int ms)
{
    // Anonymous pipes can't be waited on: look every few milliseconds.
    constexpr int LOOK_MS = 10;
    for (int waited = 0; waited < ms; waited += LOOK_MS) {
        for (os_worker* worker : workers) {
            DWORD waiting = 0;
            if (!PeekNamedPipe(worker->output, nullptr, 0, nullptr, &waiting, nullptr) || waiting > 0)
                return;
        }
        Sleep(LOOK_MS);
    }
}

void os_worker_stop(os_worker* worker)
{
    // Ctrl+Break reaches the worker's own process group only; the worker takes it as SIGTERM.
    GenerateConsoleCtrlEvent(CTRL_BREAK_EVENT, worker->process.dwProcessId);
}

void os_worker_kill(os_worker* worker)
{
    TerminateProcess(worker->process.hProcess, 128 + 9);
}

bool os_worker_ended(os_worker* worker)
{
    return WaitForSingleObject(worker->process.hProcess, 0) == WAIT_OBJECT_0;
}

int os_worker_finish(os_worker* worker)
{
    WaitForSingleObject(worker->process.hProcess, INFINITE);
    DWORD code = 0;
    GetExitCodeProcess(worker->process.hProcess, &code);
    CloseHandle(worker->process.hProcess);
    CloseHandle(worker->process.hThread);
    CloseHandle(worker->output);
    delete worker;
    return static_cast<int>(code);
}

long os_worker_id(const os_worker* worker)
{
    return static_cast<long>(worker->process.dwProcessId);
}

std::string os_program_path()
{
    char path[MAX_PATH];
    DWORD n = GetModuleFileNameA(nullptr, path, sizeof path);
    return n > 0 && n < sizeof path ? std::string(path, n) : std::string();
}

std::string os_host_name()
{
    char name[MAX_COMPUTERNAME_LENGTH + 1] = {};
    DWORD size = sizeof name;
    return GetComputerNameA(name, &size) ? name : "unknown";
}

void os_binary_input()
{
    _setmode(_fileno(stdin), _O_BINARY);
}

int os_tcp_send(const std::string& host, int port, const std::string& data, std::string& error)
{
    WSADATA wsa;
    if (WSAStartup(MAKEWORD(2, 2), &wsa) != 0) {
        error = "no network";
        return 0;
    }
    addrinfo hints = {};
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    const std::string where = host + ":" + std::to_string(port);
    if (getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &found) != 0) {
        error = "unknown host " + host;
        return 0;
    }
    SOCKET s = INVALID_SOCKET;
    for (addrinfo* a = found; a && s == INVALID_SOCKET; a = a->ai_next) {
        s = socket(a->ai_family, a->ai_socktype, a->ai_protocol);
        if (s != INVALID_SOCKET && connect(s, a->ai_addr, static_cast<int>(a->ai_addrlen)) != 0) {
            closesocket(s);
            s = INVALID_SOCKET;
        }
    }
    freeaddrinfo(found);
    if (s == INVALID_SOCKET) {
        error = where + ": no connection (error " + std::to_string(WSAGetLastError()) + ")";
        return 0;
    }
    size_t sent = 0;
    while (sent < data.size()) {
        int n = send(s, data.data() + sent, static_cast<int>(data.size() - sent), 0);
        if (n <= 0) {
            error = where + ": the connection broke (error " + std::to_string(WSAGetLastError()) + ")";
            closesocket(s);
            return 0;
        }
        sent += static_cast<size_t>(n);
    }
    shutdown(s, SD_SEND);
    return closesocket(s) == 0;
}

bool os_socket_address(const std::string& host, int port, std::vector<unsigned char>& address, bool& ipv6)
{
    WSADATA winsock;
    if (WSAStartup(MAKEWORD(2, 2), &winsock) != 0)  // counted: the page server's own start is not undone
        return false;
    addrinfo hints = {};
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_PASSIVE | AI_NUMERICSERV;
    addrinfo* found = nullptr;
    bool resolved = getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &found) == 0 && found;
    if (resolved) {
        const unsigned char* bytes = reinterpret_cast<const unsigned char*>(found->ai_addr);
        address.assign(bytes, bytes + found->ai_addrlen);
        ipv6 = found->ai_family == AF_INET6;
        freeaddrinfo(found);
    }
    WSACleanup();
    return resolved;
}
