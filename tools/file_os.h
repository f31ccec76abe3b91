// File operations that differ per platform, for the files the tools write: one implementation
// per platform (file_os_posix.cpp, file_os_win32.cpp), exactly one compiled into a program.
//
// Every file a tool creates or replaces is opened through these, never through a symbolic link:
// in a shared directory another user's link would otherwise make the tool write a file of that
// user's choosing.
#pragma once

#include <cstdio>
#include <string>

// Opens `path` as fopen does with `mode` ("rb", "rb+", "wb", "ab", "a+b"), but not when `path`
// is a symbolic link; nullptr then (os_file_is_link tells why) as when it can't be opened.
FILE* os_file_open(const char* path, const char* mode);
// True when `path` is a symbolic link (on Windows any reparse point).
bool os_file_is_link(const char* path);
// A new file for writing in the directory of `path`, under a name that no file had (on
// Windows `path`.tmp, never through a link); its name in `made`. nullptr when it can't be made.
FILE* os_file_temporary(const char* path, std::string& made);

struct os_file_lock;  // an open lock file; only the platform layer knows what is inside

// Opens `path` as a lock file, creating it when missing (never through a symbolic link);
// nullptr when it can't be had.
os_file_lock* os_lock_open(const char* path);
// Takes the lock on an open lock file without waiting: 1 when this process now holds it
// alone, 0 when another process holds it. The operating system releases it when the process
// ends, however it ends.
int os_lock_take(os_file_lock* lock);
// Releases the lock and closes its file; nothing on a null lock. The file stays on disk.
void os_lock_close(os_file_lock* lock);

// Writes everything `file` holds, in the stream's buffer and in the system's, to the disk;
// 1 on success.
int os_file_sync(FILE* file);
// Puts the file `from` in the place of `to` in one step: afterwards `to` is either the old
// file or the new one, whole, also after a crash or a power cut; 1 on success. Both names
// must be in the same directory. On POSIX the new file takes the permissions of the old one,
// and its owner too where the system allows (as root).
int os_file_replace(const char* from, const char* to);
