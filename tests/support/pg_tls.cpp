#include "support/pg_tls.h"

#include <sys/stat.h>
#include <unistd.h>

#include <sstream>

namespace {

constexpr int OPENSSL_TIMEOUT_MS = 30000;

// A certificate and its key: a new P-256 key (quick to make), signed by `ca` (a name made by
// make_certificate before) or by itself when `ca` is empty; `extensions` as openssl req -addext
// takes them.
bool make_certificate(const std::string& dir, const std::string& name, const std::string& subject,
                      const std::string& ca, const std::vector<std::string>& extensions, std::string& error)
{
    std::vector<std::string> argv = {openssl_program(), "req", "-x509", "-new", "-newkey", "ec",
                                     "-pkeyopt", "ec_paramgen_curve:P-256", "-nodes", "-days", "2",
                                     "-subj", subject, "-keyout", name + ".key", "-out", name + ".crt"};
    for (const std::string& extension : extensions)
        argv.insert(argv.end(), {"-addext", extension});
    if (!ca.empty())
        argv.insert(argv.end(), {"-CA", ca + ".crt", "-CAkey", ca + ".key"});
    run_result r = run_program(argv, dir, "", false, OPENSSL_TIMEOUT_MS);
    if (r.exit_code != 0)
        error = "openssl req for " + name + " failed: " + r.output;
    return r.exit_code == 0;
}

// The server's key and certificate belong to the user the server runs as (the owner of its
// directory), and the key is readable by it alone, as the server demands.
bool give_to_server(const std::string& dir, std::string& error)
{
    struct stat owner;
    if (stat(dir.c_str(), &owner) != 0 || chown((dir + "/server.key").c_str(), owner.st_uid, owner.st_gid) != 0 ||
        chown((dir + "/server.crt").c_str(), owner.st_uid, owner.st_gid) != 0 ||
        chmod((dir + "/server.key").c_str(), 0600) != 0) {
        error = "can't give the server's key to the server's user";
        return false;
    }
    return true;
}

// What `query` gives as the superuser, rows on lines, columns apart by |.
std::string query(const pg_server& server, const std::string& sql)
{
    return run_program({pg_server::bin_dir() + "/psql", "-X", "-A", "-t", "-d", server.url(), "-c", sql},
                       server.home, "", false, OPENSSL_TIMEOUT_MS, true)
        .output;
}

}  // namespace

std::string openssl_program()
{
    for (const char* path : {"/usr/bin/openssl", "/usr/local/bin/openssl"})
        if (access(path, X_OK) == 0)
            return path;
    return "";
}

bool turn_on_tls(pg_server& server, pg_tls& tls)
{
    const std::string dir = server.home;
    if (!make_certificate(dir, "root", "/CN=Test pool root", "", {}, tls.error) ||
        !make_certificate(dir, "other-root", "/CN=Test pool root", "", {}, tls.error) ||
        !make_certificate(dir, "server", "/CN=127.0.0.1", "root",
                          {"subjectAltName=IP:127.0.0.1", "basicConstraints=critical,CA:FALSE"}, tls.error) ||
        !give_to_server(dir, tls.error))
        return false;
    tls.root = dir + "/root.crt";
    tls.other_root = dir + "/other-root.crt";
    write_file(server.home + "/data/pg_hba.conf",
               "local all all trust\n"
               "hostssl all all 127.0.0.1/32 scram-sha-256\n");
    // Started again rather than reloaded: a server that can't load its certificate then fails
    // to start, and says why.
    if (!server.sql("ALTER SYSTEM SET ssl = on;"
                    "ALTER SYSTEM SET ssl_cert_file = '" + dir + "/server.crt';"
                    "ALTER SYSTEM SET ssl_key_file = '" + dir + "/server.key';"
                    "ALTER SYSTEM SET log_connections = on;") ||
        !server.stop() || !server.start()) {
        tls.error = server.error + read_file(server.log_file());
        return false;
    }
    return true;
}

std::string tls_of_open_sessions(const pg_server& server, const std::string& user)
{
    return query(server, "SELECT s.ssl, coalesce(s.version, '') FROM pg_stat_ssl s"
                         " JOIN pg_stat_activity a USING (pid) WHERE a.usename = '" + user + "'");
}

logged_sessions sessions_logged(const pg_server& server, const std::string& user)
{
    logged_sessions counted;
    std::istringstream log(read_file(server.log_file()));
    for (std::string line; std::getline(log, line);) {
        if (line.find("connection authorized: user=" + user + " ") == std::string::npos)
            continue;
        if (line.find(" SSL enabled (protocol=") != std::string::npos)
            counted.encrypted++;
        else
            counted.plain++;
    }
    return counted;
}
