// The gang's own operating system needs on Windows.
#include "gang/os.h"

#include <windows.h>

#include <io.h>

#include <cstdio>

namespace {

volatile LONG stop_requests = 0;

BOOL WINAPI count_stop_request(DWORD)
{
    InterlockedIncrement(&stop_requests);
    return TRUE;
}

}  // namespace

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

long os_raise_descriptor_limit()
{
    return -1;  // a process's handles have no limit of the kind the gang could run into
}
