// The front end's operating system needs on Windows.
#include "cli/os.h"

#include <windows.h>
#include <fcntl.h>
#include <io.h>
#include <signal.h>

namespace {

volatile LONG received_signal = 0;

// Console events come on a thread of their own: record the first, let the second end the
// program as usual.
BOOL WINAPI record_console_event(DWORD event)
{
    int signal = event == CTRL_C_EVENT ? SIGINT : SIGTERM;
    return InterlockedCompareExchange(&received_signal, signal, 0) == 0 ? TRUE : FALSE;
}

}  // namespace

bool stream_is_terminal(FILE* stream)
{
    return _isatty(_fileno(stream)) != 0;
}

void watch_stop_signals()
{
    SetConsoleCtrlHandler(record_console_event, TRUE);
}

int stop_signal()
{
    return static_cast<int>(received_signal);
}

void binary_standard_output()
{
    _setmode(_fileno(stdout), _O_BINARY);
}
