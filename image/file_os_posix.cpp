#include "image/file_os.h"

#include <dirent.h>
#include <fcntl.h>
#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace {

std::string kind_of(mode_t mode)
{
    if (S_ISDIR(mode))
        return "a directory";
    if (S_ISFIFO(mode))
        return "a FIFO";
    if (S_ISCHR(mode) || S_ISBLK(mode))
        return "a device";
    if (S_ISSOCK(mode))
        return "a socket";
    return "something else";
}

}  // namespace

int read_regular_file(const std::string& path, size_t limit, std::vector<uint8_t>& bytes, std::string& why)
{
    // Non-blocking: opening a FIFO without a writer would otherwise wait for ever.
    int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) {
        why = strerror(errno);
        return 0;
    }
    struct stat st;
    if (fstat(fd, &st) != 0) {
        why = strerror(errno);
        close(fd);
        return 0;
    }
    if (!S_ISREG(st.st_mode)) {
        why = "it is " + kind_of(st.st_mode) + ", not a regular file";
        close(fd);
        return 0;
    }
    bytes.assign(std::min(static_cast<size_t>(st.st_size), limit) + 1, 0);
    size_t got = 0;
    while (got < bytes.size()) {
        ssize_t n = read(fd, bytes.data() + got, bytes.size() - got);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            why = strerror(errno);
            close(fd);
            return 0;
        }
        if (n == 0)
            break;
        got += static_cast<size_t>(n);
    }
    close(fd);
    bytes.resize(got);
    return 1;
}

int write_new_file(const std::string& path, const std::string& text, bool secret, std::string& why)
{
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, secret ? 0600 : 0644);
    if (fd < 0) {
        why = strerror(errno);
        return 0;
    }
    size_t done = 0;
    while (done < text.size()) {
        ssize_t n = write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        done += static_cast<size_t>(n);
    }
    int ok = done == text.size() && fsync(fd) == 0;
    if (!ok)
        why = strerror(errno);
    if (close(fd) != 0 && ok) {
        why = strerror(errno);
        ok = 0;
    }
    if (!ok)
        unlink(path.c_str());
    return ok;
}

bool is_folder(const std::string& path)
{
    struct stat st;
    return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

std::vector<std::string> files_in(const std::string& dir, const std::string& suffix)
{
    std::vector<std::string> names;
    DIR* d = opendir(dir.c_str());
    if (!d)
        return names;
    while (struct dirent* entry = readdir(d)) {
        std::string name = entry->d_name;
        if (name.size() > suffix.size() && name.compare(name.size() - suffix.size(), suffix.size(), suffix) == 0)
            names.push_back(name);
    }
    closedir(d);
    std::sort(names.begin(), names.end());
    return names;
}

std::string program_folder()
{
    char path[PATH_MAX];
    ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
    if (n <= 0)
        return "";
    std::string file(path, static_cast<size_t>(n));
    return file.substr(0, file.rfind('/') + 1);
}

std::string system_trust_folder()
{
    return "/etc/pelmo4rix/trusted.d";
}
