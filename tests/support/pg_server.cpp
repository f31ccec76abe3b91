#include "support/pg_server.h"

#include <pwd.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <memory>

namespace fs = std::filesystem;

namespace {

constexpr char SERVER_USER[] = "nobody";  // initdb refuses root
constexpr int SERVER_TIMEOUT_MS = 60000;
// The server's TCP port: a start where another program holds the port tried goes on to the
// next, from a place that differs between test programs running at once.
constexpr int FIRST_PORT = 20000, PORT_SPAN = 30000, PORT_TRIES = 50;
// Enough for a suite's tests running side by side, each with a gang and its workers.
constexpr int MAX_CONNECTIONS = 300;

}  // namespace

pg_server::pg_server()
{
    own_dir.emplace();
    home = own_dir->path;
}

pg_server::pg_server(const std::string& home_) : home(home_)
{
    std::error_code ignored;
    fs::create_directories(home, ignored);
    made = fs::exists(data() + "/PG_VERSION");
}

pg_server::~pg_server()
{
    if (own_dir)
        stop();
}

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

bool pg_server::run(const std::vector<std::string>& argv, std::string* output, const std::string& input)
{
    std::vector<std::string> command = argv;
    if (geteuid() == 0 && argv[0].find("/psql") == std::string::npos)
        command.insert(command.begin(), {"/usr/sbin/runuser", "-u", SERVER_USER, "--"});
    run_result r = run_program(command, home, input, false, SERVER_TIMEOUT_MS);
    if (output)
        *output = r.output;
    if (r.exit_code != 0)
        error = argv[0] + " failed (" + std::to_string(r.exit_code) + "): " + r.output;
    return r.exit_code == 0;
}

bool pg_server::start_on(int tried_port, bool& port_taken)
{
    const std::string log = log_file_on(tried_port);
    const std::string options = "-k " + home + " -p " + std::to_string(tried_port) +
                                " -c listen_addresses=127.0.0.1 -c fsync=off -c max_connections=" +
                                std::to_string(MAX_CONNECTIONS);
    running = run({bin_dir() + "/pg_ctl", "-D", data(), "-o", options, "-l", log, "-w", "start"});
    const std::string said = read_file(log);
    port_taken = !running && (said.find("could not bind") != std::string::npos ||
                              said.find("Address already in use") != std::string::npos);
    if (!running)
        error += said;
    return running;
}

bool pg_server::start()
{
    const std::string bin = bin_dir();
    if (!made) {
        if (geteuid() == 0) {
            passwd* user = getpwnam(SERVER_USER);
            if (!user || chown(home.c_str(), user->pw_uid, user->pw_gid) != 0) {
                error = std::string("can't give the directory to ") + SERVER_USER;
                return false;
            }
        }
        if (!run({bin + "/initdb", "-D", data(), "-U", "postgres", "--auth-local=trust",
                  "--auth-host=scram-sha-256", "--no-sync", "-E", "UTF8", "--locale=C"}))
            return false;
        made = true;
    }
    if (port != 0) {  // started before: its clients know this port
        bool taken = false;
        return start_on(port, taken);
    }
    const int first = FIRST_PORT + static_cast<int>(getpid() * 7919L % PORT_SPAN);
    for (int i = 0; i < PORT_TRIES; i++) {
        const int tried = FIRST_PORT + (first - FIRST_PORT + i) % PORT_SPAN;
        bool taken = false;
        error.clear();
        if (start_on(tried, taken)) {
            port = tried;
            write_file(home + "/port", std::to_string(port));
            return true;
        }
        if (!taken)
            return false;
    }
    return false;
}

bool pg_server::stop()
{
    if (!running && !fs::exists(data() + "/postmaster.pid"))  // also one that another process started here
        return true;
    running = !run({bin_dir() + "/pg_ctl", "-D", data(), "-m", "fast", "-w", "stop"});
    return !running;
}

bool pg_server::attach()
{
    port = atoi(read_file(home + "/port").c_str());
    if (port <= 0 || !sql("SELECT 1")) {
        error = "no server started in " + home + " (" + error + ")";
        return false;
    }
    return true;
}

std::string pg_server::url(const std::string& db) const
{
    return "host=" + home + " port=" + std::to_string(port) + " dbname=" + db + " user=postgres";
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

pg_server* suite_pg_server(std::string& error)
{
    static std::unique_ptr<pg_server> server;
    if (server)
        return server.get();
    const char* fixture = getenv(SUITE_PG_ENV);
    std::unique_ptr<pg_server> found = fixture && *fixture ? std::make_unique<pg_server>(fixture)
                                                           : std::make_unique<pg_server>();
    if (!(fixture && *fixture ? found->attach() : found->start())) {
        error = found->error;
        return nullptr;
    }
    server = std::move(found);
    return server.get();
}

namespace {

// Names unique on the server while this test program runs: its process id and a count.
std::string unique_name(const std::string& base)
{
    static std::atomic<int> made{0};
    return base + "_" + std::to_string(getpid()) + "_" + std::to_string(++made);
}

}  // namespace

bool pg_database::create(std::string& error, const std::string& owner)
{
    server = suite_pg_server(error);
    if (!server)
        return false;
    name = unique_name("test");
    if (!server->sql("CREATE DATABASE " + name + (owner.empty() ? "" : " OWNER " + owner))) {
        error = server->error;
        name.clear();
        return false;
    }
    return true;
}

std::string pg_database::role(const std::string& base, const std::string& options)
{
    std::string made = unique_name(base);
    std::string why;
    if (!server)
        server = suite_pg_server(why);
    if (server && server->sql("CREATE ROLE " + made + " " + options))
        roles.push_back(made);
    else
        ADD_FAILURE() << "can't make role " << made << ": " << (server ? server->error : why);
    return made;
}

pg_database::~pg_database()
{
    if (!server)
        return;
    std::string drops = name.empty() ? "" : "DROP DATABASE IF EXISTS " + name + " WITH (FORCE);";
    for (const std::string& r : roles)
        drops += "DROP ROLE IF EXISTS " + r + ";";
    server->sql(drops);
}
