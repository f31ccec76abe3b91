#include "image/file_os.h"

#include <windows.h>
// after windows.h
#include <aclapi.h>
#include <sddl.h>

#include <algorithm>
#include <cstring>

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

// --- who may change a file: its owner and its rights (the DACL) ---

// Rights that let their holder change a file: its bytes, its rights or owner, or remove it.
constexpr DWORD FILE_CHANGE_RIGHTS =
    FILE_WRITE_DATA | FILE_APPEND_DATA | DELETE | WRITE_DAC | WRITE_OWNER | GENERIC_WRITE | GENERIC_ALL;
// ... a folder: remove or rename what it holds or the folder itself, change its rights or owner.
// Adding a file is not among them: a key file that someone else adds is theirs, and refused.
constexpr DWORD FOLDER_CHANGE_RIGHTS = FILE_DELETE_CHILD | DELETE | WRITE_DAC | WRITE_OWNER | GENERIC_ALL;
constexpr DWORD READ_RIGHTS = FILE_READ_DATA | GENERIC_READ | GENERIC_ALL;
constexpr char TRUSTED_INSTALLER[] = "S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478464";

// The running user's SID, kept in `buffer` (a TOKEN_USER); null when it can't be read.
PSID user_of_process(std::vector<uint8_t>& buffer)
{
    HANDLE token;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token))
        return nullptr;
    DWORD n = 0;
    GetTokenInformation(token, TokenUser, nullptr, 0, &n);
    buffer.assign(n, 0);
    const bool ok = n && GetTokenInformation(token, TokenUser, buffer.data(), n, &n);
    CloseHandle(token);
    return ok ? reinterpret_cast<TOKEN_USER*>(buffer.data())->User.Sid : nullptr;
}

// The system's own accounts, which own the system's folders (as root does on Linux).
bool is_system(PSID sid)
{
    if (IsWellKnownSid(sid, WinLocalSystemSid) || IsWellKnownSid(sid, WinBuiltinAdministratorsSid))
        return true;
    char* text = nullptr;
    const bool installer = ConvertSidToStringSidA(sid, &text) && strcmp(text, TRUSTED_INSTALLER) == 0;
    LocalFree(text);
    return installer;
}

// An account as a person reads it (Everyone, BUILTIN\Users), else its SID.
std::string account_name(PSID sid)
{
    char name[256], domain[256];
    DWORD name_size = sizeof name, domain_size = sizeof domain;
    SID_NAME_USE use;
    if (LookupAccountSidA(nullptr, sid, name, &name_size, domain, &domain_size, &use))
        return *domain ? std::string(domain) + "\\" + name : std::string(name);
    char* text = nullptr;
    std::string shown = ConvertSidToStringSidA(sid, &text) ? text : "an unknown account";
    LocalFree(text);
    return shown;
}

// The owner and the rights of a file or a folder, freed with it.
struct security_info {
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    PSID owner = nullptr;
    PACL dacl = nullptr;
    ~security_info() { LocalFree(descriptor); }
};
constexpr SECURITY_INFORMATION OWNER_AND_RIGHTS = OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION;

bool read_security(HANDLE file, security_info& info)
{
    DWORD code = GetSecurityInfo(file, SE_FILE_OBJECT, OWNER_AND_RIGHTS, &info.owner, nullptr, &info.dacl, nullptr,
                                 &info.descriptor);
    SetLastError(code);
    return code == ERROR_SUCCESS;
}

bool read_security(const std::string& path, security_info& info)
{
    DWORD code = GetNamedSecurityInfoA(path.c_str(), SE_FILE_OBJECT, OWNER_AND_RIGHTS, &info.owner, nullptr, &info.dacl,
                                       nullptr, &info.descriptor);
    SetLastError(code);
    return code == ERROR_SUCCESS;
}

// The first account other than the owner, the user and the system that the rights let do any of
// `rights` to the object itself (an entry only inherited by what it holds does not count);
// empty when there is none. No rights list at all lets Everyone do everything.
std::string others_with(const security_info& info, PSID user, DWORD rights)
{
    if (!info.dacl)
        return "Everyone";
    for (DWORD i = 0; i < info.dacl->AceCount; i++) {
        ACE_HEADER* header = nullptr;
        if (!GetAce(info.dacl, i, reinterpret_cast<void**>(&header)) || header->AceType != ACCESS_ALLOWED_ACE_TYPE ||
            (header->AceFlags & INHERIT_ONLY_ACE))
            continue;
        const ACCESS_ALLOWED_ACE* ace = reinterpret_cast<const ACCESS_ALLOWED_ACE*>(header);
        PSID sid = const_cast<DWORD*>(&ace->SidStart);
        if ((ace->Mask & rights) && !EqualSid(sid, info.owner) && !EqualSid(sid, user) && !is_system(sid) &&
            !IsWellKnownSid(sid, WinCreatorOwnerRightsSid))
            return account_name(sid);
    }
    return "";
}

// How to take `who`'s rights away from `path`: inherited rights are made its own first.
std::string rights_fix(const std::string& path, const std::string& who)
{
    return " (icacls \"" + path + "\" /inheritance:d, then icacls \"" + path + "\" /remove:g \"" + who + "\")";
}

// The real path of the open file (links resolved), as C:\folder\file or \\server\share\file;
// empty when unknown.
std::string final_path(HANDLE file)
{
    char path[MAX_PATH * 4];
    DWORD n = GetFinalPathNameByHandleA(file, path, sizeof path, FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
    if (n == 0 || n >= sizeof path)
        return "";
    std::string text(path, n);
    if (text.compare(0, 8, "\\\\?\\UNC\\") == 0)
        return "\\\\" + text.substr(8);
    return text.compare(0, 4, "\\\\?\\") == 0 ? text.substr(4) : text;
}

// The folder that holds `path`: C:\keys for C:\keys\a.pub, C:\ for C:\keys, \\server\share for
// \\server\share\keys; empty above a drive's or a share's root.
std::string folder_above(const std::string& path)
{
    if (path.size() <= 3 && path.size() >= 2 && path[1] == ':')
        return "";
    const size_t slash = path.find_last_of('\\');
    if (slash == std::string::npos)
        return "";
    if (slash == 2 && path[1] == ':')
        return path.substr(0, 3);
    if (path.compare(0, 2, "\\\\") == 0 && std::count(path.begin(), path.begin() + slash, '\\') < 3)
        return "";
    return path.substr(0, slash);
}

// Why the key file open as `file` is not under control: its owner is not the user or the
// system, someone else may change it, or a folder above it up to the first the system owns
// is so; empty when it is under control.
std::string key_file_problem(HANDLE file, const std::string& path)
{
    std::vector<uint8_t> token;
    PSID user = user_of_process(token);
    security_info info;
    if (!user || !read_security(file, info))
        return "its owner and rights can't be read: " + system_message(GetLastError());
    if (!EqualSid(info.owner, user) && !is_system(info.owner))
        return "it belongs to " + account_name(info.owner) + ", not to you or the system (icacls \"" + path +
               "\" /setowner \"%USERNAME%\", or copy the key into a file of yours)";
    std::string others = others_with(info, user, FILE_CHANGE_RIGHTS);
    if (!others.empty())
        return others + " may change it" + rights_fix(path, others);
    const std::string real = final_path(file);
    if (real.empty())
        return "its folder can't be found: " + system_message(GetLastError());
    for (std::string folder = folder_above(real); !folder.empty(); folder = folder_above(folder)) {
        security_info above;
        if (!read_security(folder, above))
            return "its folder " + folder + " can't be checked: " + system_message(GetLastError());
        if (!EqualSid(above.owner, user) && !is_system(above.owner))
            return "its folder " + folder + " belongs to " + account_name(above.owner) +
                   ": keep trusted keys in a folder of yours or the system's";
        others = others_with(above, user, FOLDER_CHANGE_RIGHTS);
        if (!others.empty())
            return others + " may change its folder " + folder + rights_fix(folder, others);
        if (is_system(above.owner))
            break;
    }
    return "";
}

// Who besides the user and the system may read or change the file open as `file`; empty when
// no one (and when its rights can't be read, "someone": they can't be shown to be safe).
std::string secret_file_readers(HANDLE file)
{
    std::vector<uint8_t> token;
    PSID user = user_of_process(token);
    security_info info;
    if (!user || !read_security(file, info))
        return "someone (its rights can't be read: " + system_message(GetLastError()) + ")";
    return others_with(info, user, READ_RIGHTS | FILE_CHANGE_RIGHTS);
}

// Rights for a new file: a security descriptor, freed with it.
struct file_rights {
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    ~file_rights() { LocalFree(descriptor); }
    // The running user's alone, none inherited from the folder.
    bool user_only(std::string& why)
    {
        std::vector<uint8_t> token;
        PSID user = user_of_process(token);
        char* sid = nullptr;
        if (!user || !ConvertSidToStringSidA(user, &sid)) {
            why = system_message(GetLastError());
            return false;
        }
        const std::string text = std::string("D:P(A;;FA;;;") + sid + ")";
        LocalFree(sid);
        if (ConvertStringSecurityDescriptorToSecurityDescriptorA(text.c_str(), SDDL_REVISION_1, &descriptor, nullptr))
            return true;
        why = system_message(GetLastError());
        return false;
    }
};

}  // namespace

namespace {

// The file at `path`, opened to read its bytes and its rights; `at_link`: a link (a reparse
// point) is opened itself, not followed. INVALID_HANDLE_VALUE with `why` when it can't be.
HANDLE open_for_reading(const std::string& path, bool at_link, std::string& why)
{
    DWORD attributes = GetFileAttributesA(path.c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY)) {
        why = "it is a directory, not a regular file";
        return INVALID_HANDLE_VALUE;
    }
    HANDLE file = CreateFileA(path.c_str(), GENERIC_READ | READ_CONTROL, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL | (at_link ? FILE_FLAG_OPEN_REPARSE_POINT : 0), nullptr);
    if (file == INVALID_HANDLE_VALUE)
        why = system_message(GetLastError());
    return file;
}

// The regular file open as `file` into `bytes`, at most `limit` + 1 bytes; closes `file`.
int read_open_file(HANDLE file, size_t limit, std::vector<uint8_t>& bytes, std::string& why)
{
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

}  // namespace

int read_regular_file(const std::string& path, size_t limit, std::vector<uint8_t>& bytes, std::string& why)
{
    HANDLE file = open_for_reading(path, false, why);
    return file != INVALID_HANDLE_VALUE && read_open_file(file, limit, bytes, why);
}

int read_trusted_file(const std::string& path, bool in_folder, size_t limit, std::vector<uint8_t>& bytes,
                      std::string& why)
{
    HANDLE file = open_for_reading(path, in_folder, why);
    if (file == INVALID_HANDLE_VALUE) {
        why = "can't read the key file " + path + ": " + why;
        return 0;
    }
    BY_HANDLE_FILE_INFORMATION info;
    if (in_folder && GetFileInformationByHandle(file, &info) && (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT)) {
        CloseHandle(file);
        why = "the key file " + path + " is a symbolic link, which a trust folder's keys may not be (copy the key there)";
        return 0;
    }
    const std::string problem = key_file_problem(file, path);
    if (!problem.empty()) {
        CloseHandle(file);
        why = "the key file " + path + " is not trusted: " + problem;
        return 0;
    }
    if (!read_open_file(file, limit, bytes, why)) {
        why = "can't read the key file " + path + ": " + why;
        return 0;
    }
    return 1;
}

int read_secret_file(const std::string& path, size_t limit, std::vector<uint8_t>& bytes, std::string& why)
{
    HANDLE file = open_for_reading(path, false, why);
    if (file == INVALID_HANDLE_VALUE) {
        why = "can't read the key file " + path + ": " + why;
        return 0;
    }
    const std::string others = secret_file_readers(file);
    if (!others.empty()) {
        CloseHandle(file);
        why = "the secret key " + path + " may be read or changed by " + others + " (icacls \"" + path +
              "\" /inheritance:r /grant:r \"%USERNAME%:F\")";
        return 0;
    }
    if (!read_open_file(file, limit, bytes, why)) {
        why = "can't read the key file " + path + ": " + why;
        return 0;
    }
    return 1;
}

int write_new_file(const std::string& path, const std::string& text, bool secret, std::string& why)
{
    // A secret file gets rights of its own, for the user alone, whatever its folder would give;
    // no sharing while it is written.
    file_rights rights;
    if (secret && !rights.user_only(why))
        return 0;
    SECURITY_ATTRIBUTES attributes = {sizeof attributes, rights.descriptor, FALSE};
    HANDLE file = CreateFileA(path.c_str(), GENERIC_WRITE, 0, secret ? &attributes : nullptr, CREATE_NEW,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
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
