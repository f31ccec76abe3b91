// The gang's operating system needs on Windows.
#include "gang/os.h"

#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>

#include <io.h>

struct os_worker {
    PROCESS_INFORMATION process;
    HANDLE output;  // read end of the worker's standard output
};

namespace {

volatile LONG stop_requests = 0;
HANDLE worker_job = nullptr;  // every worker belongs to it; it ends them when the gang ends

BOOL WINAPI count_stop_request(DWORD)
{
    InterlockedIncrement(&stop_requests);
    return TRUE;
}

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

}  // namespace

os_worker* os_worker_start(const std::vector<std::string>& argv)
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
    startup.hStdInput = null_device;
    startup.hStdOutput = write_end;
    startup.hStdError = null_device;
    std::string line = command_line(argv);
    auto* worker = new os_worker{};
    BOOL started = CreateProcessA(argv[0].c_str(), &line[0], nullptr, nullptr, TRUE,
                                  CREATE_NEW_PROCESS_GROUP | CREATE_SUSPENDED, nullptr, nullptr, &startup,
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

void os_watch_stop_requests()
{
    SetConsoleCtrlHandler(count_stop_request, TRUE);
}

int os_stop_requests()
{
    return static_cast<int>(stop_requests);
}

bool os_live_display()
{
    HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
    DWORD mode = 0;
    if (!_isatty(_fileno(stdout)) || !GetConsoleMode(out, &mode))
        return false;
    return SetConsoleMode(out, mode | ENABLE_VIRTUAL_TERMINAL_PROCESSING) != 0;
}

bool os_keys_typed()
{
    DWORD mode = 0;  // _isatty would also take the null device for a terminal
    return GetConsoleMode(GetStdHandle(STD_INPUT_HANDLE), &mode) != 0;
}

std::string os_host_name()
{
    char name[MAX_COMPUTERNAME_LENGTH + 1] = {};
    DWORD size = sizeof name;
    return GetComputerNameA(name, &size) ? name : "unknown";
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
