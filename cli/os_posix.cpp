// The front end's operating system needs on POSIX.
#include "cli/os.h"

#include <signal.h>
#include <unistd.h>

namespace {

volatile sig_atomic_t received_signal = 0;

void record_signal(int signal)
{
    received_signal = signal;
}

}  // namespace

bool stream_is_terminal(FILE* stream)
{
    return isatty(fileno(stream)) != 0;
}

void watch_stop_signals()
{
    struct sigaction action = {};
    action.sa_handler = record_signal;
    sigemptyset(&action.sa_mask);
    // One-shot, so that a second signal ends the program; no SA_RESTART, so that a blocking
    // wait returns early.
    action.sa_flags = SA_RESETHAND;
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
    // A reader that went away (a trace piped into head) is a failed write, not a sudden end.
    signal(SIGPIPE, SIG_IGN);
}

int stop_signal()
{
    return received_signal;
}

void binary_standard_output() {}
