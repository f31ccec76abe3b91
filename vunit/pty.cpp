// The unit's pseudo-terminal pair and how its terminal side is published as a port.
#include "pty.h"

#include <fcntl.h>
#include <sys/inotify.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace vunit_detail {

bool open_pair(int& master, int& terminal, std::string& terminal_path, std::string& error)
{
    master = posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    char name[64];
    if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0 || ptsname_r(master, name, sizeof name) != 0) {
        error = std::string("cannot open a pseudo-terminal: ") + std::strerror(errno);
        if (master >= 0)
            close(master);
        master = -1;
        return false;
    }
    terminal_path = name;
    // Our own descriptor of the terminal side: while it is open, the program's closes never
    // hang the line up. It is never read and never locked.
    terminal = open(name, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    termios t{};
    if (terminal < 0 || tcgetattr(master, &t) != 0) {
        error = std::string("cannot open ") + name + ": " + std::strerror(errno);
        close_pair(master, terminal);
        return false;
    }
    // Raw until the program sets its own line: no echo, no translation.
    cfmakeraw(&t);
    t.c_cflag |= CLOCAL | CREAD;
    tcsetattr(master, TCSANOW, &t);
    return true;
}

void close_pair(int& master, int& terminal)
{
    if (master >= 0)
        close(master);
    if (terminal >= 0)
        close(terminal);
    master = terminal = -1;
}

int watch_terminal(const std::string& terminal_path)
{
    int watch = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (watch >= 0 && inotify_add_watch(watch, terminal_path.c_str(), IN_OPEN | IN_CLOSE) < 0) {
        close(watch);
        watch = -1;
    }
    return watch;
}

void follow_openers(int watch, int terminal, int& openers)
{
    alignas(inotify_event) char buffer[4096];
    ssize_t n;
    while ((n = read(watch, buffer, sizeof buffer)) > 0) {
        for (char* p = buffer; p < buffer + n;) {
            const auto* e = reinterpret_cast<const inotify_event*>(p);
            if (e->mask & IN_OPEN)
                ++openers;
            if ((e->mask & IN_CLOSE) && openers > 0 && --openers == 0) {
                ioctl(terminal, TIOCNXCL);
                tcflush(terminal, TCIFLUSH);
            }
            p += sizeof(inotify_event) + e->len;
        }
    }
}

namespace {

bool is_stale_link(const std::string& path)
{
    struct stat st;
    return lstat(path.c_str(), &st) == 0 && S_ISLNK(st.st_mode) && access(path.c_str(), F_OK) != 0;
}

bool has_line(const std::string& path, const std::string& line)
{
    FILE* file = std::fopen(path.c_str(), "r");
    if (!file)
        return false;
    char text[256];
    bool found = false;
    while (!found && std::fgets(text, sizeof text, file))
        found = std::strcspn(text, "\r\n") == line.size() && line.compare(0, line.size(), text, line.size()) == 0;
    std::fclose(file);
    return found;
}

bool append_line(const std::string& path, const std::string& line)
{
    int fd = open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0)
        return false;
    std::string text = line + "\n";
    bool ok = write(fd, text.data(), text.size()) == ssize_t(text.size());  // one write: atomic append
    return close(fd) == 0 && ok;
}

}  // namespace

bool publish_port(const std::string& dir, const std::string& name, bool list, const std::string& terminal_path,
                  std::string& link_path, std::string& error)
{
    link_path = dir + "/" + name;
    if (is_stale_link(link_path))  // left behind by a unit that did not end cleanly
        unlink(link_path.c_str());
    if (symlink(terminal_path.c_str(), link_path.c_str()) != 0) {
        error = "cannot link " + link_path + ": " + std::strerror(errno);
        link_path.clear();
        return false;
    }
    // A unit plugged again under its name keeps its one line in the list.
    if (list && !has_line(dir + "/SERIALCOMM", name) && !append_line(dir + "/SERIALCOMM", name)) {
        error = "cannot append to " + dir + "/SERIALCOMM: " + std::strerror(errno);
        unpublish_port(link_path, terminal_path);
        return false;
    }
    return true;
}

void unpublish_port(std::string& link_path, const std::string& terminal_path)
{
    if (link_path.empty())
        return;
    char target[PATH_MAX];
    ssize_t n = readlink(link_path.c_str(), target, sizeof target - 1);
    if (n > 0 && std::string(target, size_t(n)) == terminal_path)  // only a link that is still ours
        unlink(link_path.c_str());
    link_path.clear();
}

}  // namespace vunit_detail
