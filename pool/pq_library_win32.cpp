// libpq on Windows: libpq.dll is loaded at the first use, from the program's own folder only,
// and so are the DLLs it needs (OpenSSL's); Windows' own come from its system folder. Each of
// libpq's functions that the pool may use is defined here under its own name and calls its
// namesake in the DLL, so the pool's code is the same as on Linux and the program starts with
// no DLL beside it.
#include <windows.h>

#include <libpq-fe.h>

#include "pool/pq_library.h"

namespace {

const char DLL[] = "libpq.dll";
const wchar_t DLL_FILE[] = L"libpq.dll";
// The DLLs that libpq.dll needs beside it, built with it (OpenSSL's).
const char COMPANIONS[] = "libssl-3-x64.dll, libcrypto-3-x64.dll";

// The DLL's functions, resolved together when it is loaded.
struct entries {
    decltype(&PQconnectdb) connectdb;
    decltype(&PQconnectdbParams) connectdb_params;
    decltype(&PQstatus) status;
    decltype(&PQerrorMessage) error_message;
    decltype(&PQfinish) finish;
    decltype(&PQreset) reset;
    decltype(&PQexecParams) exec_params;
    decltype(&PQexec) exec;
    decltype(&PQresultStatus) result_status;
    decltype(&PQresultErrorField) result_error_field;
    decltype(&PQresultErrorMessage) result_error_message;
    decltype(&PQclear) clear;
    decltype(&PQntuples) ntuples;
    decltype(&PQnfields) nfields;
    decltype(&PQgetvalue) getvalue;
    decltype(&PQgetisnull) getisnull;
    decltype(&PQcmdTuples) cmd_tuples;
    decltype(&PQhost) host;
    decltype(&PQport) port;
    decltype(&PQdb) db;
    decltype(&PQuser) user;
    decltype(&PQconnectionNeedsPassword) connection_needs_password;
    decltype(&PQsetNoticeProcessor) set_notice_processor;
    decltype(&PQping) ping;
    decltype(&PQconninfoParse) conninfo_parse;
    decltype(&PQconninfoFree) conninfo_free;
    decltype(&PQlibVersion) lib_version;
    decltype(&PQsetErrorVerbosity) set_error_verbosity;
} pq;

// Where the DLL's name goes, for each entry.
struct entry_name {
    const char* name;
    FARPROC* slot;
};

template <typename F>
entry_name named(const char* name, F& slot)
{
    return {name, reinterpret_cast<FARPROC*>(&slot)};
}

// The folder of the running program, with its trailing backslash; empty if unknown.
std::wstring program_folder()
{
    std::wstring path(32768, L'\0');  // the longest path Windows has
    DWORD length = GetModuleFileNameW(nullptr, &path[0], static_cast<DWORD>(path.size()));
    path.resize(length < path.size() ? length : 0);
    return path.substr(0, path.find_last_of(L"\\/") + 1);
}

// `text` in the system's code page, as messages and libpq's file names are.
std::string narrow(const std::wstring& text)
{
    int size = WideCharToMultiByte(CP_ACP, 0, text.c_str(), -1, nullptr, 0, nullptr, nullptr);
    if (size <= 1)
        return "";
    std::string out(static_cast<size_t>(size), '\0');
    WideCharToMultiByte(CP_ACP, 0, text.c_str(), -1, &out[0], size, nullptr, nullptr);
    out.resize(static_cast<size_t>(size) - 1);
    return out;
}

// Loads the DLL and resolves every entry; false with `problem` when either fails.
bool load(std::string& problem)
{
    // The DLL by its full path, and the DLLs it needs looked for only in its own folder and in
    // Windows' system folder: never the current folder or PATH, where anyone may have left a
    // DLL of the same name.
    const DWORD ONLY_ITS_FOLDER_AND_SYSTEM = LOAD_LIBRARY_SEARCH_DLL_LOAD_DIR | LOAD_LIBRARY_SEARCH_SYSTEM32;
    std::wstring folder_w = program_folder();
    std::string folder = folder_w.empty() ? "the program's folder" : narrow(folder_w);
    std::wstring path = folder_w + DLL_FILE;
    HMODULE dll = folder_w.empty() ? nullptr : LoadLibraryExW(path.c_str(), nullptr, ONLY_ITS_FOLDER_AND_SYSTEM);
    DWORD load_error = dll ? 0 : GetLastError();
    if (!dll && !folder_w.empty() && GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES) {
        problem = std::string(DLL) + " in " + folder + " can't be loaded (Windows error " +
                  std::to_string(load_error) + "): the DLLs it needs must be beside it: " + COMPANIONS;
        return false;
    }
    if (!dll) {
        problem = std::string(DLL) + " (PostgreSQL's client library) is missing: --pool needs it; put it beside " +
                  "pelmo4rix.exe, in " + folder;
        return false;
    }
    const entry_name names[] = {
        named("PQconnectdb", pq.connectdb),
        named("PQconnectdbParams", pq.connectdb_params),
        named("PQstatus", pq.status),
        named("PQerrorMessage", pq.error_message),
        named("PQfinish", pq.finish),
        named("PQreset", pq.reset),
        named("PQexecParams", pq.exec_params),
        named("PQexec", pq.exec),
        named("PQresultStatus", pq.result_status),
        named("PQresultErrorField", pq.result_error_field),
        named("PQresultErrorMessage", pq.result_error_message),
        named("PQclear", pq.clear),
        named("PQntuples", pq.ntuples),
        named("PQnfields", pq.nfields),
        named("PQgetvalue", pq.getvalue),
        named("PQgetisnull", pq.getisnull),
        named("PQcmdTuples", pq.cmd_tuples),
        named("PQhost", pq.host),
        named("PQport", pq.port),
        named("PQdb", pq.db),
        named("PQuser", pq.user),
        named("PQconnectionNeedsPassword", pq.connection_needs_password),
        named("PQsetNoticeProcessor", pq.set_notice_processor),
        named("PQping", pq.ping),
        named("PQconninfoParse", pq.conninfo_parse),
        named("PQconninfoFree", pq.conninfo_free),
        named("PQlibVersion", pq.lib_version),
        named("PQsetErrorVerbosity", pq.set_error_verbosity),
    };
    for (const entry_name& entry : names) {
        *entry.slot = GetProcAddress(dll, entry.name);
        if (!*entry.slot) {
            problem = "the " + std::string(DLL) + " found has no " + entry.name + ": put PostgreSQL's client " +
                      "library for 64-bit Windows beside pelmo4rix.exe, in " + folder;
            FreeLibrary(dll);
            return false;
        }
    }
    return true;
}

}  // namespace

bool pq_library_loaded(std::string& missing)
{
    // Loaded once; a failed load is tried again at the next use (the DLL may have been put there).
    static bool loaded = false;
    if (!loaded)
        loaded = load(missing);
    return loaded;
}

std::string pq_file_path(const std::string& name)
{
    bool absolute = !name.empty() && (name[0] == '\\' || name[0] == '/' || (name.size() > 1 && name[1] == ':'));
    if (name.empty() || absolute)
        return name;
    std::wstring folder = program_folder();
    return folder.empty() ? name : narrow(folder) + name;
}

// libpq's functions, each calling its namesake in the DLL. Only reached once
// pq_library_loaded gave true: every one needs a connection or a result made by the DLL.
extern "C" {

PGconn* PQconnectdb(const char* conninfo) { return pq.connectdb(conninfo); }
PGconn* PQconnectdbParams(const char* const* keywords, const char* const* values, int expand_dbname)
{
    return pq.connectdb_params(keywords, values, expand_dbname);
}
ConnStatusType PQstatus(const PGconn* conn) { return pq.status(conn); }
char* PQerrorMessage(const PGconn* conn) { return pq.error_message(conn); }
void PQfinish(PGconn* conn) { pq.finish(conn); }
void PQreset(PGconn* conn) { pq.reset(conn); }
PGresult* PQexecParams(PGconn* conn, const char* command, int nParams, const Oid* paramTypes,
                       const char* const* paramValues, const int* paramLengths, const int* paramFormats,
                       int resultFormat)
{
    return pq.exec_params(conn, command, nParams, paramTypes, paramValues, paramLengths, paramFormats, resultFormat);
}
PGresult* PQexec(PGconn* conn, const char* query) { return pq.exec(conn, query); }
ExecStatusType PQresultStatus(const PGresult* res) { return pq.result_status(res); }
char* PQresultErrorField(const PGresult* res, int fieldcode) { return pq.result_error_field(res, fieldcode); }
char* PQresultErrorMessage(const PGresult* res) { return pq.result_error_message(res); }
void PQclear(PGresult* res) { pq.clear(res); }
int PQntuples(const PGresult* res) { return pq.ntuples(res); }
int PQnfields(const PGresult* res) { return pq.nfields(res); }
char* PQgetvalue(const PGresult* res, int tup_num, int field_num) { return pq.getvalue(res, tup_num, field_num); }
int PQgetisnull(const PGresult* res, int tup_num, int field_num) { return pq.getisnull(res, tup_num, field_num); }
char* PQcmdTuples(PGresult* res) { return pq.cmd_tuples(res); }
char* PQhost(const PGconn* conn) { return pq.host(conn); }
char* PQport(const PGconn* conn) { return pq.port(conn); }
char* PQdb(const PGconn* conn) { return pq.db(conn); }
char* PQuser(const PGconn* conn) { return pq.user(conn); }
int PQconnectionNeedsPassword(const PGconn* conn) { return pq.connection_needs_password(conn); }
PQnoticeProcessor PQsetNoticeProcessor(PGconn* conn, PQnoticeProcessor proc, void* arg)
{
    return pq.set_notice_processor(conn, proc, arg);
}
PGPing PQping(const char* conninfo) { return pq.ping(conninfo); }
PQconninfoOption* PQconninfoParse(const char* conninfo, char** errmsg) { return pq.conninfo_parse(conninfo, errmsg); }
void PQconninfoFree(PQconninfoOption* connOptions) { pq.conninfo_free(connOptions); }
int PQlibVersion(void) { return pq.lib_version(); }
PGVerbosity PQsetErrorVerbosity(PGconn* conn, PGVerbosity verbosity) { return pq.set_error_verbosity(conn, verbosity); }

}  // extern "C"
