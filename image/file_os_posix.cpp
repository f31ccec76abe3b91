#include "image/file_os.h"

#include <dirent.h>
#include <fcntl.h>
#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
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

namespace {

// Opens `path` for reading without waiting on a FIFO's writer; -1 with `why` when it can't.
int open_for_reading(const std::string& path, int extra_flags, std::string& why)
{
    // Non-blocking: opening a FIFO without a writer would otherwise wait for ever.
    int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC | extra_flags);
    if (fd < 0)
        why = strerror(errno);
    return fd;
}

// The regular file open at `fd` into `bytes`, at most `limit` + 1 bytes; closes `fd`.
int read_open_file(int fd, const struct stat& st, size_t limit, std::vector<uint8_t>& bytes, std::string& why)
{
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

bool stat_open_file(int fd, struct stat& st, std::string& why)
{
    if (fstat(fd, &st) == 0)
        return true;
    why = strerror(errno);
    close(fd);
    return false;
}

bool system_or_mine(uid_t owner)
{
    return owner == 0 || owner == geteuid();
}

// Others may change what a folder holds: writable by group or others, without the sticky bit
// that keeps them from renaming or removing what is not theirs (as in /tmp).
bool others_may_change_folder(mode_t mode)
{
    return (mode & (S_IWGRP | S_IWOTH)) && !(mode & S_ISVTX);
}

// The folder that holds `path`: "/" for a file at the top, "." for a bare name.
std::string folder_of(const std::string& path)
{
    const size_t slash = path.rfind('/');
    return slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
}

// Why a folder from `folder` (a real path) up to the first one that root owns is not under
// control; empty when each is.
std::string folders_problem(std::string folder)
{
    for (;;) {
        struct stat st;
        if (stat(folder.c_str(), &st) != 0)
            return "its folder " + folder + " can't be checked: " + strerror(errno);
        if (!system_or_mine(st.st_uid))
            return "its folder " + folder + " belongs to another user (uid " + std::to_string(st.st_uid) +
                   "): keep trusted keys in a folder of yours or root's";
        if (others_may_change_folder(st.st_mode))
            return "others may change its folder " + folder + " (chmod go-w " + folder + ")";
        if (st.st_uid == 0 || folder == "/")
            return "";
        folder = folder_of(folder);
    }
}

// The real path of `path` (symbolic links resolved); empty with `why` when there is none.
std::string real_path(const std::string& path, std::string& why)
{
    char* real = realpath(path.c_str(), nullptr);
    if (!real) {
        why = strerror(errno);
        return "";
    }
    std::string text = real;
    free(real);
    return text;
}

}  // namespace

int read_regular_file(const std::string& path, size_t limit, std::vector<uint8_t>& bytes, std::string& why)
{
    int fd = open_for_reading(path, 0, why);
    struct stat st;
    return fd >= 0 && stat_open_file(fd, st, why) && read_open_file(fd, st, limit, bytes, why);
}

int read_trusted_file(const std::string& path, bool in_folder, size_t limit, std::vector<uint8_t>& bytes,
                      std::string& why)
{
    // The checks look at the file itself and its real folders; in a trust folder the name's
    // last part is never followed.
    std::string real = real_path(in_folder ? folder_of(path) : path, why);
    if (in_folder && !real.empty())
        real += (real == "/" ? "" : "/") + path.substr(path.rfind('/') + 1);
    if (real.empty()) {
        why = "can't read the key file " + path + ": " + why;
        return 0;
    }
    int fd = open_for_reading(real, O_NOFOLLOW, why);
    if (fd < 0 && errno == ELOOP) {
        why = "the key file " + path + " is a symbolic link, which a trust folder's keys may not be (copy the key there)";
        return 0;
    }
    struct stat st;
    if (fd < 0 || !stat_open_file(fd, st, why)) {
        why = "can't read the key file " + path + ": " + why;
        return 0;
    }
    std::string problem = !system_or_mine(st.st_uid)
                              ? "it belongs to another user (uid " + std::to_string(st.st_uid) +
                                    "), not to root or you (chown it, or copy the key into a file of yours)"
                          : (st.st_mode & (S_IWGRP | S_IWOTH)) ? "others may change it (chmod go-w " + path + ")"
                                                                 : folders_problem(folder_of(real));
    if (!problem.empty()) {
        close(fd);
        why = "the key file " + path + " is not trusted: " + problem;
        return 0;
    }
    if (!read_open_file(fd, st, limit, bytes, why)) {
        why = "can't read the key file " + path + ": " + why;
        return 0;
    }
    return 1;
}

int read_secret_file(const std::string& path, size_t limit, std::vector<uint8_t>& bytes, std::string& why)
{
    int fd = open_for_reading(path, 0, why);
    struct stat st;
    if (fd < 0 || !stat_open_file(fd, st, why)) {
        why = "can't read the key file " + path + ": " + why;
        return 0;
    }
    if (st.st_mode & (S_IRWXG | S_IRWXO)) {
        close(fd);
        why = "the secret key " + path + " may be read or changed by others (chmod 600 " + path + ")";
        return 0;
    }
    if (!read_open_file(fd, st, limit, bytes, why)) {
        why = "can't read the key file " + path + ": " + why;
        return 0;
    }
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
