// Serial ports on POSIX systems. Port names live in a device directory: $PELMO4RIX_DEVICE_DIR
// when set, /dev otherwise; the system describes its devices under $PELMO4RIX_SYSFS_DIR when
// set, /sys otherwise. Reads and writes follow the time-outs stated in os_port.h, timed
// on the monotonic clock with poll (VMIN/VTIME count in tenths of a second: far too coarse).
#include "link/os_port.h"
#include "link/os_port_linux_baud.h"
#include "link/port_names.h"

#include <dirent.h>
#include <fcntl.h>
#include <limits.h>
#include <linux/serial.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>

struct os_port {
    int fd;
    termios line;          // the state fetched by os_port_read_state
    bool claimed;          // we set the exclusive mode (TIOCEXCL), so closing clears it
    bool low_latency_set;  // we turned the driver's low latency on: give it back on close
    serial_struct serial;  // the driver's settings as we found them
};

namespace {

constexpr int READ_INTERVAL_NS = 1000000;     // quiet gap that ends a read
constexpr int READ_CONSTANT_NS = 1000000;     // plus 1 ms per byte asked
constexpr int WRITE_PER_BYTE_NS = 3000000;    // 3 ms a byte
constexpr int WRITE_CONSTANT_NS = 3000000;    // plus 3 ms

long long now_ns()
{
    timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return t.tv_sec * 1000000000LL + t.tv_nsec;
}

// Waits until `fd` is ready for `events` or `deadline` passes; true when ready.
bool wait_ready(int fd, short events, long long deadline)
{
    for (;;) {
        long long left = deadline - now_ns();
        if (left <= 0)
            return false;
        pollfd p = {fd, events, 0};
        timespec t = {static_cast<time_t>(left / 1000000000LL), static_cast<long>(left % 1000000000LL)};
        int r = ppoll(&p, 1, &t, nullptr);
        if (r > 0)
            return true;
        if (r < 0 && errno != EINTR)
            return false;
    }
}

void sleep_until(long long deadline)
{
    timespec t = {static_cast<time_t>(deadline / 1000000000LL), static_cast<long>(deadline % 1000000000LL)};
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &t, nullptr) == EINTR) {
    }
}

std::string device_dir()
{
    const char* dir = getenv("PELMO4RIX_DEVICE_DIR");
    return dir && *dir ? dir : "/dev";
}

// The file a port name opens: names of 4 or more characters live in the device directory.
std::string port_path(const std::string& name)
{
    return name.size() >= 4 ? device_dir() + "/" + name : name;
}

std::string sysfs_dir()
{
    const char* dir = getenv("PELMO4RIX_SYSFS_DIR");
    return dir && *dir ? dir : "/sys";
}

speed_t speed_code(uint32_t baud)
{
    switch (baud) {
    case 9600: return B9600;
    case 19200: return B19200;
    case 38400: return B38400;
    case 57600: return B57600;
    case 115200: return B115200;
    case 230400: return B230400;
    case 460800: return B460800;
    case 921600: return B921600;
    case 1000000: return B1000000;
    case 1500000: return B1500000;
    case 2000000: return B2000000;
    case 2500000: return B2500000;
    case 3000000: return B3000000;
    case 3500000: return B3500000;
    case 4000000: return B4000000;
    default: return B0;  // set through termios2

    }
}

bool held_exclusively(int fd)
{
    int exclusive = 0;
    return ioctl(fd, TIOCGEXCL, &exclusive) == 0 && exclusive != 0;
}

// Gives up the claim and the descriptor; only system calls, so a signal handler may call it.
void release(os_port* port)
{
    if (port->low_latency_set)
        ioctl(port->fd, TIOCSSERIAL, &port->serial);
    // Exclusive mode outlives our descriptor while another one stays open: give ours back.
    if (port->claimed)
        ioctl(port->fd, TIOCNXCL);
    close(port->fd);
}

// USB serial adapters hold received bytes for a latency timer (16 ms by default on FTDI
// adapters) and every exchange waits for its reply: ask the driver for low latency. A
// driver or a pseudo-terminal that does not know the request is left as it is.
void request_low_latency(os_port* port)
{
    if (ioctl(port->fd, TIOCGSERIAL, &port->serial) != 0 || (port->serial.flags & ASYNC_LOW_LATENCY))
        return;
    serial_struct wanted = port->serial;
    wanted.flags |= ASYNC_LOW_LATENCY;
    port->low_latency_set = ioctl(port->fd, TIOCSSERIAL, &wanted) == 0;
}

// A driver runs a rate it can't divide exactly at the nearest one it can, and says so; more
// than 2% off is more than two UARTs' sampling tolerates together.
bool near_enough(uint32_t actual, uint32_t baud)
{
    return actual >= baud - baud / 50 && actual <= baud + baud / 50;
}

}  // namespace

os_port* os_port_open_checked(const char* name, os_open_failure& why, std::string& reason)
{
    std::string path = port_path(name);
    int fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        why = errno == ENOENT || errno == ENODEV || errno == ENXIO ? OS_OPEN_GONE : OS_OPEN_REFUSED;
        reason = strerror(errno);
        return nullptr;
    }
    // Both locks: flock keeps out every other program, TIOCEXCL also those that don't flock.
    // Root opens a port in exclusive mode all the same: one held so by another program is busy.
    bool terminal = isatty(fd);
    if (flock(fd, LOCK_EX | LOCK_NB) != 0 || (terminal && held_exclusively(fd)) ||
        (terminal && ioctl(fd, TIOCEXCL) != 0)) {
        close(fd);
        why = OS_OPEN_REFUSED;
        reason = strerror(EBUSY);
        return nullptr;
    }
    os_port* port = new os_port{fd, {}, terminal, false, {}};
    request_low_latency(port);
    return port;
}

os_port* os_port_open(const char* name)
{
    os_open_failure why;
    std::string reason;
    return os_port_open_checked(name, why, reason);
}

bool os_port_read_state(os_port* port)
{
    return port && tcgetattr(port->fd, &port->line) == 0;
}

bool os_port_apply_state(os_port* port, uint32_t baud)
{
    speed_t speed = speed_code(baud);
    if (!port || baud == 0)
        return false;
    termios t = port->line;
    cfmakeraw(&t);  // no echo, no line editing, no translation: the line carries raw frames
    t.c_cflag &= ~(CSTOPB | PARENB | CSIZE | CRTSCTS);
    t.c_cflag |= CS8 | CLOCAL | CREAD;
    t.c_iflag &= ~(IXON | IXOFF | IXANY);
    t.c_cc[VMIN] = 0;
    t.c_cc[VTIME] = 0;
    if (speed != B0) {
        cfsetispeed(&t, speed);
        cfsetospeed(&t, speed);
    }
    if (tcsetattr(port->fd, TCSANOW, &t) != 0)
        return false;
    port->line = t;
    if (speed == B0 && !set_any_baud(port->fd, baud))
        return false;
    return near_enough(actual_baud(port->fd), baud);
}

bool os_port_set_timeouts(os_port* port)
{
    // The time-outs are built into os_port_read and os_port_write; only the port must be real.
    return port && fcntl(port->fd, F_GETFL) != -1;
}

bool os_port_set_mask(os_port* port)
{
    return port && fcntl(port->fd, F_GETFL) != -1;
}

long os_port_read(os_port* port, void* buffer, size_t n)
{
    if (!port)
        return -1;
    auto* bytes = static_cast<unsigned char*>(buffer);
    long long start = now_ns();
    long long total_deadline = start + READ_CONSTANT_NS + static_cast<long long>(n) * 1000000LL;
    size_t got = 0;
    while (got < n) {
        long long deadline = total_deadline;
        if (got > 0)
            deadline = std::min(deadline, now_ns() + READ_INTERVAL_NS);
        if (!wait_ready(port->fd, POLLIN, deadline))
            break;
        ssize_t r = read(port->fd, bytes + got, n - got);
        if (r > 0) {
            got += static_cast<size_t>(r);
        } else if (r == 0 || (errno != EAGAIN && errno != EINTR)) {
            if (got > 0)
                break;
            // The line is gone (unplugged): poll reports it at once, so the read still takes
            // its time-out, or a caller that reads again would spin.
            sleep_until(total_deadline);
            return -1;
        }
    }
    return static_cast<long>(got);
}

long os_port_write(os_port* port, const void* buffer, size_t n)
{
    if (!port)
        return -1;
    auto* bytes = static_cast<const unsigned char*>(buffer);
    long long deadline = now_ns() + WRITE_CONSTANT_NS + static_cast<long long>(n) * WRITE_PER_BYTE_NS;
    size_t done = 0;
    while (done < n) {
        ssize_t r = write(port->fd, bytes + done, n - done);
        if (r > 0) {
            done += static_cast<size_t>(r);
            continue;
        }
        if (r < 0 && errno != EAGAIN && errno != EINTR)
            return done ? static_cast<long>(done) : -1;
        if (!wait_ready(port->fd, POLLOUT, deadline))
            break;
    }
    return static_cast<long>(done);
}

void os_port_purge(os_port* port)
{
    if (port)
        tcflush(port->fd, TCIOFLUSH);
}

void os_port_flush(os_port* port)
{
    if (port)
        tcdrain(port->fd);
}

void os_port_close(os_port* port)
{
    if (!port)
        return;
    release(port);
    delete port;
}

void os_port_abandon(os_port* port)
{
    if (port)
        release(port);
}

namespace {

// The listed ports of a device directory: DEV/SERIALCOMM, one name a line.
os_list_result list_from_file(const std::string& dir, std::vector<std::string>& names, int& value_count)
{
    std::ifstream list(dir + "/SERIALCOMM");
    if (!list)
        return OS_LIST_NO_KEY;  // missing, or not ours to read
    std::string line;
    while (std::getline(list, line)) {
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        if (line.empty())
            continue;
        value_count++;
        names.push_back(line);
    }
    if (list.bad()) {  // there but unreadable (a directory, an I/O error): as if missing
        names.clear();
        value_count = 0;
        return OS_LIST_NO_KEY;
    }
    return OS_LIST_OK;
}

bool has_hardware(const std::string& name)
{
    if (name.rfind("ttyUSB", 0) == 0 || name.rfind("ttyACM", 0) == 0)
        return true;
    if (name.rfind("ttyS", 0) != 0)
        return false;
    // Built-in ttyS ports exist whether or not a UART is behind them; type 0 means none.
    std::ifstream type(sysfs_dir() + "/class/tty/" + name + "/type");
    int uart = 0;
    return type >> uart && uart != 0;
}

int family_rank(const std::string& name)
{
    if (name.rfind("ttyUSB", 0) == 0)
        return 0;
    return name.rfind("ttyACM", 0) == 0 ? 1 : 2;
}

// The system's serial devices with hardware behind them, USB adapters first, in name order.
os_list_result list_from_system(std::vector<std::string>& names, int& value_count)
{
    DIR* dir = opendir((sysfs_dir() + "/class/tty").c_str());
    if (!dir)
        return OS_LIST_NO_KEY;
    while (dirent* entry = readdir(dir)) {
        std::string name = entry->d_name;
        if (has_hardware(name))
            names.push_back(name);
    }
    closedir(dir);
    std::sort(names.begin(), names.end(), [](const std::string& a, const std::string& b) {
        if (family_rank(a) != family_rank(b))
            return family_rank(a) < family_rank(b);
        if (a.size() != b.size())
            return a.size() < b.size();  // ttyUSB2 before ttyUSB10
        return a < b;
    });
    value_count = static_cast<int>(names.size());
    return OS_LIST_OK;
}

}  // namespace

os_list_result os_list_ports(std::vector<std::string>& names, int& value_count)
{
    names.clear();
    value_count = 0;
    const char* dir = getenv("PELMO4RIX_DEVICE_DIR");
    if (dir && *dir)
        return list_from_file(dir, names, value_count);
    return list_from_system(names, value_count);
}

namespace {

std::string first_word(const std::string& path)
{
    std::ifstream in(path);
    std::string word;
    in >> word;
    return word;
}

// The whole first line: a USB product's name has blanks.
std::string first_line(const std::string& path)
{
    std::ifstream in(path);
    std::string line;
    std::getline(in, line);
    return line;
}

std::string real_path(const std::string& path)
{
    char resolved[PATH_MAX];
    return realpath(path.c_str(), resolved) ? resolved : "";
}

std::string last_part(const std::string& path) { return path.substr(path.rfind('/') + 1); }

// `path` without its "." and ".." parts, so that two ways to one file compare equal.
std::string normalized(const std::string& path)
{
    std::vector<std::string> parts;
    for (size_t start = 0; start <= path.size();) {
        size_t slash = std::min(path.find('/', start), path.size());
        std::string part = path.substr(start, slash - start);
        if (part == ".." && !parts.empty() && parts.back() != "..")
            parts.pop_back();
        else if (!part.empty() && part != ".")
            parts.push_back(part);
        start = slash + 1;
    }
    std::string out = path.rfind('/', 0) == 0 ? "/" : "";
    for (size_t i = 0; i < parts.size(); i++)
        out += (i ? "/" : "") + parts[i];
    return out;
}

// Where the link `link` points, as a path from the link's folder; empty when it is no link.
std::string link_target(const std::string& link)
{
    char target[PATH_MAX];
    ssize_t n = readlink(link.c_str(), target, sizeof target - 1);
    if (n <= 0)
        return "";
    target[n] = '\0';
    return normalized(target[0] == '/' ? target : link.substr(0, link.rfind('/') + 1) + target);
}

}  // namespace

// The system makes each stable name a link to the port's own node beside it (../../ttyUSB0);
// only that one step is followed, since the node itself may be a link too (a virtual unit's).
std::string current_port_name(const std::string& name)
{
    if (!is_stable_name(name))
        return name;
    const std::string dev = normalized(device_dir()) + "/";
    const std::string target = link_target(dev + name);
    if (target.compare(0, dev.size(), dev) != 0 || target.size() < dev.size() + 4)
        return name;  // leads out of the device directory, or to a name opened as it stands
    return target.substr(dev.size());
}

std::vector<std::string> stable_port_names(const std::string& kind)
{
    std::vector<std::string> names;
    const std::string folder = std::string(STABLE_NAME_PREFIX) + kind;
    DIR* dir = opendir((device_dir() + "/" + folder).c_str());
    if (!dir)
        return names;
    while (dirent* entry = readdir(dir))
        if (entry->d_name[0] != '.')
            names.push_back(folder + "/" + entry->d_name);
    closedir(dir);
    std::sort(names.begin(), names.end());
    return names;
}

namespace {

// The stable names of `kind` that lead to the port node `node` now.
std::vector<std::string> stable_names_of(const std::string& kind, const std::string& node)
{
    std::vector<std::string> names;
    for (const std::string& stable : stable_port_names(kind))
        if (real_path(device_dir() + "/" + stable) == node)
            names.push_back(stable);
    return names;
}

// The USB device is the nearest folder above the port's that names a vendor and a product.
void read_usb_device(const std::string& device, const std::string& root, port_facts& f)
{
    for (std::string up = device; up.size() > root.size(); up = up.substr(0, up.rfind('/'))) {
        std::string vendor = first_word(up + "/idVendor"), product = first_word(up + "/idProduct");
        if (vendor.empty() || product.empty())
            continue;
        f.usb_id = vendor + ":" + product;
        f.serial = first_line(up + "/serial");
        f.product = first_line(up + "/product");
        return;
    }
}

}  // namespace

// The port's node is found as the port layer opens it; its kernel name leads to the system's
// description of the device (SYSFS/class/tty/NAME/device), and the USB device above it.
port_facts facts_of_port(const std::string& name)
{
    port_facts f;
    const std::string node = real_path(port_path(current_port_name(name)));
    if (node.empty())
        return f;
    f.by_path = stable_names_of("by-path", node);
    f.by_id = stable_names_of("by-id", node);
    const std::string root = real_path(sysfs_dir());
    const std::string device = real_path(sysfs_dir() + "/class/tty/" + last_part(node) + "/device");
    if (root.empty() || device.empty())
        return f;
    f.driver = last_part(real_path(device + "/driver"));
    const std::string latency = first_word(device + "/latency_timer");
    if (!latency.empty() && latency.size() < 6 && latency.find_first_not_of("0123456789") == std::string::npos)
        f.latency_timer_ms = std::stoi(latency);
    read_usb_device(device, root, f);
    return f;
}

void os_sleep_ms(int ms)
{
    timespec t = {ms / 1000, (ms % 1000) * 1000000L};
    while (nanosleep(&t, &t) != 0 && errno == EINTR) {
    }
}
