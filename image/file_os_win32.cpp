#include "image/file_os.h"

#include <windows.h>

#include <algorithm>

namespace {

std::string system_message(DWORD code)
{
    char text[256] = "";
    DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code, 0, text,
                             sizeof text, nullptr);
    while (n > 0 && (text[n - 1] == '\r' || text[n - 1] == '\n' || text[n - 1] == '.'))
        text[--n] = 0;
    return n ? text : "error " + std::to_string(code);
}

}  // namespace

int read_regular_file(const std::string& path, size_t limit, std::vector<uint8_t>& bytes, std::string& why)
{
    DWORD attributes = GetFileAttributesA(path.c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY)) {
        why = "it is a directory, not a regular file";
        return 0;
    }
    HANDLE file = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        why = system_message(GetLastError());
        return 0;
    }
    // A console, a pipe or a device such as NUL is no image.
    if (GetFileType(file) != FILE_TYPE_DISK) {
        CloseHandle(file);
        why = "it is a device or a pipe, not a regular file";
        return 0;
    }
    LARGE_INTEGER size;
    if (!GetFileSizeEx(file, &size)) {
        why = system_message(GetLastError());
        CloseHandle(file);
        return 0;
    }
    bytes.assign(std::min(static_cast<size_t>(size.QuadPart), limit) + 1, 0);
    size_t got = 0;
    while (got < bytes.size()) {
        DWORD n = 0;
        if (!ReadFile(file, bytes.data() + got, static_cast<DWORD>(bytes.size() - got), &n, nullptr)) {
            why = system_message(GetLastError());
            CloseHandle(file);
            return 0;
        }
        if (n == 0)
            break;
        got += n;
    }
    CloseHandle(file);
    bytes.resize(got);
    return 1;
}

int read_trusted_file(const std::string& path, bool in_folder, size_t limit, std::vector<uint8_t>& bytes,
                      std::string& why)
{
    DWORD attributes = GetFileAttributesA(path.c_str());
    if (in_folder && attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT)) {
        why = "the key file " + path + " is a symbolic link, which a trust folder's keys may not be (copy the key there)";
        return 0;
    }
    if (!read_regular_file(path, limit, bytes, why)) {
        why = "can't read the key file " + path + ": " + why;
        return 0;
    }
    return 1;
}

int read_secret_file(const std::string& path, size_t limit, std::vector<uint8_t>& bytes, std::string& why)
{
    if (!read_regular_file(path, limit, bytes, why)) {
        why = "can't read the key file " + path + ": " + why;
        return 0;
    }
    return 1;
}

int write_new_file(const std::string& path, const std::string& text, bool secret, std::string& why)
{
    // Secret: a file in the user's own folder keeps that folder's owner-only rights; no
    // sharing while it is written.
    (void)secret;
    HANDLE file = CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        why = system_message(GetLastError());
        return 0;
    }
    DWORD n = 0;
    int ok = WriteFile(file, text.data(), static_cast<DWORD>(text.size()), &n, nullptr) && n == text.size() &&
             FlushFileBuffers(file);
    if (!ok)
        why = system_message(GetLastError());
    CloseHandle(file);
    if (!ok)
        DeleteFileA(path.c_str());
    return ok;
}

bool is_folder(const std::string& path)
{
    DWORD attributes = GetFileAttributesA(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
}

std::vector<std::string> files_in(const std::string& dir, const std::string& suffix)
{
    std::vector<std::string> names;
    WIN32_FIND_DATAA found;
    HANDLE search = FindFirstFileA((dir + "\\*" + suffix).c_str(), &found);
    if (search == INVALID_HANDLE_VALUE)
        return names;
    do {
        std::string name = found.cFileName;
        if (!(found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) && name.size() > suffix.size())
            names.push_back(name);
    } while (FindNextFileA(search, &found));
    FindClose(search);
    std::sort(names.begin(), names.end());
    return names;
}

std::string program_folder()
{
    char path[MAX_PATH];
    DWORD n = GetModuleFileNameA(nullptr, path, sizeof path);
    if (n == 0 || n >= sizeof path)
        return "";
    std::string file(path, n);
    return file.substr(0, file.find_last_of("\\/") + 1);
}

std::string system_trust_folder()
{
    return "";
}
