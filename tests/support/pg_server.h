// PostgreSQL servers for the tests: clusters made with initdb (as an unprivileged user when the
// tests run as root), reached through a Unix socket in the server's directory and a TCP port on
// 127.0.0.1. Local connections are trusted; TCP connections need a password (scram-sha-256).
//
// A test suite shares one server (suite_pg_server: the one that the CTest fixture started, or
// one of the test program's own), and each test takes a database of its own on it
// (pg_database). A test that stops or restarts its server makes a private pg_server.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "support/support.h"

struct pg_server {
    std::string home;  // the server's directory: its cluster, its socket, its log
    int port = 0;
    std::string error;  // why start or sql failed, with the server's output

    // A private server in a fresh temporary directory, stopped and removed with this object.
    pg_server();
    // The server in `home`, which outlives this object: started by start() or found by attach().
    explicit pg_server(const std::string& home);
    pg_server(const pg_server&) = delete;
    ~pg_server();

    // Where the server programs are; empty when none are installed.
    static std::string bin_dir();

    // Makes the cluster (at the first start) and starts the server. The server takes its TCP
    // port itself: when another program holds the one it tried, it tries the next. False
    // with `error`.
    bool start();
    // Stops it, fast (sessions are ended); true when it stopped.
    bool stop();
    // Finds the server that another process started in `home`; false with `error`.
    bool attach();

    // The server's log while it runs on `port`.
    std::string log_file() const { return log_file_on(port); }

    // The superuser's connection string for `db` over the Unix socket.
    std::string url(const std::string& db = "postgres") const;
    // A URI over TCP to 127.0.0.1 with `user` and `password`.
    std::string tcp_url(const std::string& user, const std::string& password, const std::string& db) const;
    // Runs `statements` as the superuser in `db`, each in a transaction of its own (psql,
    // stopping at the first error; its commands such as \c too); false with `error` when one
    // failed.
    bool sql(const std::string& statements, const std::string& db = "postgres");

private:
    std::optional<temp_dir> own_dir;
    bool made = false;
    bool running = false;
    std::string data() const { return home + "/data"; }
    std::string log_file_on(int tried_port) const { return home + "/server-" + std::to_string(tried_port) + ".log"; }
    bool run(const std::vector<std::string>& argv, std::string* output = nullptr, const std::string& input = "");
    bool start_on(int tried_port, bool& port_taken);
};

// The environment variable that names the directory of the server the CTest fixture started.
constexpr char SUITE_PG_ENV[] = "PELMO4RIX_TEST_PG";

// The suite's server: the fixture's when SUITE_PG_ENV names one, else one that this test
// program starts at its first use and stops at its end. nullptr with `error` when it can't be
// had.
pg_server* suite_pg_server(std::string& error);

// A database of one test's own on the suite's server, and roles of its own (role names are
// the whole cluster's): both dropped at the end.
struct pg_database {
    pg_server* server = nullptr;
    std::string name;
    std::vector<std::string> roles;

    pg_database() = default;
    pg_database(const pg_database&) = delete;
    ~pg_database();

    // Creates the database (given an owner role made by role(), that role owns it); false with `error`.
    bool create(std::string& error, const std::string& owner = "");
    // A role name of this test's own, `base` in it, dropped at the end; made with `options`
    // (e.g. "LOGIN PASSWORD 'x'").
    std::string role(const std::string& base, const std::string& options);

    std::string url() const { return server->url(name); }
    std::string tcp_url(const std::string& user, const std::string& password) const
    {
        return server->tcp_url(user, password, name);
    }
    // Statements as the superuser in this database; false with the server's `error`.
    bool sql(const std::string& statements) { return server->sql(statements, name); }
};

// In a test: skips it when no server programs are installed, else starts `server`.
#define START_PG_SERVER(server)                                                 \
    do {                                                                        \
        if (pg_server::bin_dir().empty())                                       \
            GTEST_SKIP() << "no PostgreSQL server programs installed";          \
        ASSERT_TRUE((server).start()) << (server).error;                        \
    } while (0)

// In a test: skips it when no server programs are installed, else creates `db` on the suite's
// server.
#define CREATE_PG_DATABASE(db)                                                  \
    do {                                                                        \
        if (pg_server::bin_dir().empty())                                       \
            GTEST_SKIP() << "no PostgreSQL server programs installed";          \
        std::string why_not_;                                                   \
        ASSERT_TRUE((db).create(why_not_)) << why_not_;                         \
    } while (0)
