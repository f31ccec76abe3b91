// What image files and key files need of the operating system: one implementation per platform
// (file_os_posix.cpp, file_os_win32.cpp).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// Reads the regular file at `path` into `bytes`, at most `limit` + 1 bytes (so that a caller
// sees a file too large without reading all of it). A FIFO, a device or a directory is refused
// at once, without waiting for a writer or reading a byte. 0 with `why` (a sentence without
// the path) when the file is not read.
int read_regular_file(const std::string& path, size_t limit, std::vector<uint8_t>& bytes, std::string& why);

// Reads a trusted key file as read_regular_file does, only when it is under control: the file
// and every folder above it, up to the first one the system owns, belong to the system or to the
// running user, and no one else may change them. `in_folder`: the file was found in a trust
// folder, where a symbolic link is not followed. 0 with `why`, a sentence that names the file
// (or the folder), what is wrong and the fix, when it is not read.
int read_trusted_file(const std::string& path, bool in_folder, size_t limit, std::vector<uint8_t>& bytes,
                      std::string& why);

// Reads a secret key file as read_regular_file does, only when no one but its owner may read or
// change it; 0 with `why` (a sentence with the path and the fix) otherwise.
int read_secret_file(const std::string& path, size_t limit, std::vector<uint8_t>& bytes, std::string& why);

// Creates the file at `path`, which must not exist yet, and writes `text`; `secret`: readable
// by its owner only. 0 with `why` when it is not there whole.
int write_new_file(const std::string& path, const std::string& text, bool secret, std::string& why);

// True when `path` is a folder.
bool is_folder(const std::string& path);

// The names of the files in `dir` that end with `suffix`, sorted; empty when there is no such
// folder.
std::vector<std::string> files_in(const std::string& dir, const std::string& suffix);

// The folder of the running program, ending with its separator; empty when unknown.
std::string program_folder();

// The system's folder of trusted keys (none on Windows: the folder beside the programs serves).
std::string system_trust_folder();
