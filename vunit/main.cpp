// pelmo4rix-vunit: a virtual Pelmo4Rix unit on a pseudo-terminal, until SIGINT or SIGTERM.
#include <signal.h>

#include <cstdio>
#include <cstring>

#include "vunit.h"

int main(int argc, char** argv)
{
    for (int i = 1; i < argc; ++i)
        if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) {
            std::fputs(vunit_usage().c_str(), stdout);
            return 0;
        }
    vunit_config config;
    std::string error;
    if (!vunit_parse_args(argc, argv, config, error)) {
        std::fprintf(stderr, "pelmo4rix-vunit: %s\n%s", error.c_str(), vunit_usage().c_str());
        return 2;
    }
    // Block the stop signals before the unit's thread starts, so that only sigwait sees them.
    sigset_t stop_signals;
    sigemptyset(&stop_signals);
    sigaddset(&stop_signals, SIGINT);
    sigaddset(&stop_signals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stop_signals, nullptr);

    vunit* unit = vunit_start(config, error);
    if (!unit) {
        std::fprintf(stderr, "pelmo4rix-vunit: %s\n", error.c_str());
        return 1;
    }
    std::printf("%s\n", vunit_port_path(unit).c_str());
    std::fflush(stdout);
    int signal_number = 0;
    sigwait(&stop_signals, &signal_number);
    vunit_stop(unit);
    return 0;
}
