// The front end's operating system needs on POSIX.
#include "cli/os.h"

#include <limits.h>
#include <signal.h>
#include <stdlib.h>
#include <unistd.h>

#include <fstream>

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

namespace {

std::string first_word(const std::string& path)
{
    std::ifstream in(path);
    std::string word;
    in >> word;
    return word;
}

std::string real_path(const std::string& path)
{
    char resolved[PATH_MAX];
    return realpath(path.c_str(), resolved) ? resolved : "";
}

std::string last_part(const std::string& path) { return path.substr(path.rfind('/') + 1); }

}  // namespace

// The port's file is found as the port layer opens it (the device directory for names of 4 or
// more characters); its kernel name leads to the description in system_dir/class/tty.
port_adapter adapter_of(const std::string& name, const std::string& system_dir)
{
    port_adapter a;
    const char* dir = getenv("PELMO4RIX_DEVICE_DIR");
    std::string file = name.size() < 4 ? name : std::string(dir && *dir ? dir : "/dev") + "/" + name;
    std::string tty = last_part(real_path(file));
    std::string device = real_path(system_dir + "/class/tty/" + tty + "/device");
    if (tty.empty() || device.empty())
        return a;
    a.driver = last_part(real_path(device + "/driver"));
    std::string latency = first_word(device + "/latency_timer");
    if (!latency.empty() && latency.find_first_not_of("0123456789") == std::string::npos && latency.size() < 6)
        a.latency_timer_ms = std::stoi(latency);
    // The USB device is the nearest directory above that names a vendor and a product.
    for (std::string up = device; up.size() > system_dir.size(); up = up.substr(0, up.rfind('/'))) {
        std::string vendor = first_word(up + "/idVendor"), product = first_word(up + "/idProduct");
        if (!vendor.empty() && !product.empty()) {
            a.usb_id = vendor + ":" + product;
            break;
        }
    }
    return a;
}
