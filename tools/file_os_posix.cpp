// The address file's platform operations on POSIX: flock for the lock, fsync and rename.
#include "tools/file_os.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
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

}  // namespace

os_file_lock* os_lock_open(const char* path)
{
    int fd = open(path, O_RDWR | O_CREAT | O_CLOEXEC, 0644);
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
    if (rename(from, to) != 0)
        return 0;
    // The new file is in place; a directory that can't be synced leaves it there all the same.
    sync_directory_of(to);
    return 1;
}
