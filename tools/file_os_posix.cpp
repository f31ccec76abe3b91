// The platform operations for the tools' files on POSIX: O_NOFOLLOW and mkstemp, flock for the
// lock, fsync and rename.
#include "tools/file_os.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

struct os_file_lock {
    int fd;
};

namespace {

// The directory entry of a rename is on the disk only once the directory itself is synced.
void sync_directory_of(const char* path)
{
    std::string name = path;
    size_t slash = name.rfind('/');
    std::string dir = slash == std::string::npos ? "." : slash == 0 ? "/" : name.substr(0, slash);
    int fd = open(dir.c_str(), O_RDONLY | O_DIRECTORY);
    if (fd < 0)
        return;
    fsync(fd);
    close(fd);
}

// The new file `from` takes the permissions of the file `to` that it replaces, and its owner
// where the system allows it (as root): the file stays as it was set up.
void take_access_of(const char* from, const char* to)
{
    struct stat old;
    if (stat(to, &old) != 0)
        return;  // nothing to replace: the defaults stand
    if (chown(from, old.st_uid, old.st_gid) != 0) {
        // Not allowed to anyone but root: the writer's own stays.
    }
    chmod(from, old.st_mode & 07777);  // after chown, which may clear set-id bits
}

// The open(2) flags of an fopen mode.
int open_flags(const char* mode)
{
    bool update = strchr(mode, '+') != nullptr;
    switch (mode[0]) {
    case 'w': return (update ? O_RDWR : O_WRONLY) | O_CREAT | O_TRUNC;
    case 'a': return (update ? O_RDWR : O_WRONLY) | O_CREAT | O_APPEND;
    default: return update ? O_RDWR : O_RDONLY;
    }
}

}  // namespace

FILE* os_file_open(const char* path, const char* mode)
{
    int fd = open(path, open_flags(mode) | O_NOFOLLOW | O_CLOEXEC, 0644);
    if (fd < 0)
        return nullptr;
    FILE* file = fdopen(fd, mode);
    if (!file)
        close(fd);
    return file;
}

bool os_file_is_link(const char* path)
{
    struct stat status;
    return lstat(path, &status) == 0 && S_ISLNK(status.st_mode);
}

FILE* os_file_temporary(const char* path, std::string& made)
{
    std::string name = std::string(path) + ".XXXXXX";
    int fd = mkostemp(name.data(), O_CLOEXEC);  // O_EXCL: a new file, never a link's target
    if (fd < 0)
        return nullptr;
    fchmod(fd, 0644);  // as a file the tool creates; take_access_of makes it the old one's
    FILE* file = fdopen(fd, "wb");
    if (!file) {
        close(fd);
        unlink(name.c_str());
        return nullptr;
    }
    made = name;
    return file;
}

os_file_lock* os_lock_open(const char* path)
{
    int fd = open(path, O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0644);
    if (fd < 0)
        return nullptr;
    return new os_file_lock{fd};
}

int os_lock_take(os_file_lock* lock)
{
    // A lock of the open file itself (not a record lock): two opens conflict also within one
    // process, and the kernel drops it with the last descriptor.
    while (flock(lock->fd, LOCK_EX | LOCK_NB) != 0)
        if (errno != EINTR)
            return 0;
    return 1;
}

void os_lock_close(os_file_lock* lock)
{
    if (!lock)
        return;
    close(lock->fd);
    delete lock;
}

int os_file_sync(FILE* file)
{
    return fflush(file) == 0 && fsync(fileno(file)) == 0;
}

int os_file_replace(const char* from, const char* to)
{
    take_access_of(from, to);
    if (rename(from, to) != 0)
        return 0;
    // The new file is in place; a directory that can't be synced leaves it there all the same.
    sync_directory_of(to);
    return 1;
}
