#include "support/pg_server.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <pwd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>

namespace fs = std::filesystem;

namespace {

constexpr char SERVER_USER[] = "nobody";  // initdb refuses root
constexpr int SERVER_TIMEOUT_MS = 60000;

// A TCP port on 127.0.0.1 that nothing listens on now.
int free_port()
{
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof address;
    int port = 0;
    if (bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
        getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size) == 0)
        port = ntohs(address.sin_port);
    close(fd);
    return port;
}

}  // namespace

std::string pg_server::bin_dir()
{
    std::string best;
    int best_version = 0;
    std::error_code ignored;
    for (const auto& entry : fs::directory_iterator("/usr/lib/postgresql", ignored)) {
        int version = atoi(entry.path().filename().c_str());
        std::string bin = entry.path().string() + "/bin";
        if (version > best_version && fs::exists(bin + "/initdb") && fs::exists(bin + "/pg_ctl") &&
            fs::exists(bin + "/psql")) {
            best = bin;
            best_version = version;
        }
    }
    return best;
}

pg_server::~pg_server() { stop(); }

bool pg_server::run(const std::vector<std::string>& argv, std::string* output, const std::string& input)
{
    std::vector<std::string> command = argv;
    if (geteuid() == 0 && argv[0].find("/psql") == std::string::npos)
        command.insert(command.begin(), {"/usr/sbin/runuser", "-u", SERVER_USER, "--"});
    run_result r = run_program(command, dir.path, input, false, SERVER_TIMEOUT_MS);
    if (output)
        *output = r.output;
    if (r.exit_code != 0)
        error = argv[0] + " failed (" + std::to_string(r.exit_code) + "): " + r.output;
    return r.exit_code == 0;
}

bool pg_server::start()
{
    const std::string bin = bin_dir();
    if (!made) {
        if (geteuid() == 0) {
            passwd* user = getpwnam(SERVER_USER);
            if (!user || chown(dir.path.c_str(), user->pw_uid, user->pw_gid) != 0) {
                error = std::string("can't give the directory to ") + SERVER_USER;
                return false;
            }
        }
        if (!run({bin + "/initdb", "-D", data(), "-U", "postgres", "--auth-local=trust",
                  "--auth-host=scram-sha-256", "--no-sync", "-E", "UTF8", "--locale=C"}))
            return false;
        made = true;
        port = free_port();
    }
    const std::string options = "-k " + dir.path + " -p " + std::to_string(port) +
                                " -c listen_addresses=127.0.0.1 -c fsync=off -c max_connections=60";
    running = run({bin + "/pg_ctl", "-D", data(), "-o", options, "-l", dir / "server.log", "-w", "start"});
    return running;
}

bool pg_server::stop()
{
    if (!running)
        return true;
    running = !run({bin_dir() + "/pg_ctl", "-D", data(), "-m", "fast", "-w", "stop"});
    return !running;
}

std::string pg_server::url(const std::string& db) const
{
    return "host=" + dir.path + " port=" + std::to_string(port) + " dbname=" + db + " user=postgres";
}

std::string pg_server::tcp_url(const std::string& user, const std::string& password, const std::string& db) const
{
    return "postgresql://" + user + ":" + password + "@127.0.0.1:" + std::to_string(port) + "/" + db;
}

bool pg_server::sql(const std::string& statements, const std::string& db)
{
    return run({bin_dir() + "/psql", "-X", "-q", "-v", "ON_ERROR_STOP=1", "-d", url(db), "-f", "-"}, nullptr,
               statements);
}
