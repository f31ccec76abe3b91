// The gang's own operating system needs on POSIX (Linux).
#include "gang/os.h"

#include <signal.h>
#include <sys/resource.h>
#include <unistd.h>

namespace {

volatile sig_atomic_t stop_requests = 0;

void count_stop_request(int)
{
    stop_requests = stop_requests + 1;
}

}  // namespace

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

long os_raise_descriptor_limit()
{
    rlimit limit;
    if (getrlimit(RLIMIT_NOFILE, &limit) != 0)
        return -1;
    rlimit raised = limit;
    raised.rlim_cur = limit.rlim_max;
    // An unlimited hard limit can't be the soft one (the kernel caps it): keep what is set.
    if (limit.rlim_max != RLIM_INFINITY && limit.rlim_cur < limit.rlim_max && setrlimit(RLIMIT_NOFILE, &raised) == 0)
        limit = raised;
    return limit.rlim_cur == RLIM_INFINITY ? -1 : static_cast<long>(limit.rlim_cur);
}
