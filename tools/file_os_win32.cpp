// The address file's platform operations on Win32: LockFileEx for the lock, FlushFileBuffers
// and MoveFileExA.
#include "tools/file_os.h"

#include <io.h>
#include <windows.h>

struct os_file_lock {
    HANDLE handle;
};

bool os_file_is_link(const char* path)
{
    DWORD attributes = GetFileAttributesA(path);
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT);
}

// A check before the open: Windows' CRT has no open that refuses a link.
FILE* os_file_open(const char* path, const char* mode)
{
    return os_file_is_link(path) ? nullptr : fopen(path, mode);
}

FILE* os_file_temporary(const char* path, std::string& made)
{
    const std::string name = std::string(path) + ".tmp";
    FILE* file = os_file_open(name.c_str(), "wb");
    if (file)
        made = name;
    return file;
}

os_file_lock* os_lock_open(const char* path)
{
    if (os_file_is_link(path))
        return nullptr;
    HANDLE handle = CreateFileA(path, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE)
        return nullptr;
    return new os_file_lock{handle};
}

int os_lock_take(os_file_lock* lock)
{
    OVERLAPPED at = {};
    return LockFileEx(lock->handle, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0, &at) ? 1 : 0;
}

void os_lock_close(os_file_lock* lock)
{
    if (!lock)
        return;
    CloseHandle(lock->handle);  // closing the handle releases its lock
    delete lock;
}

int os_file_sync(FILE* file)
{
    if (fflush(file) != 0)
        return 0;
    HANDLE handle = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(file)));
    return handle != INVALID_HANDLE_VALUE && FlushFileBuffers(handle) ? 1 : 0;
}

int os_file_replace(const char* from, const char* to)
{
    // On one volume the replace is a single change of the directory entry.
    return MoveFileExA(from, to, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) ? 1 : 0;
}
