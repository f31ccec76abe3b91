// A private PostgreSQL server for the tests: a cluster made with initdb in a temporary
// directory (as an unprivileged user when the tests run as root), reached through a Unix
// socket in that directory and a free TCP port on 127.0.0.1, stopped and removed at the end.
// Local connections are trusted; TCP connections need a password (scram-sha-256).
#pragma once

#include <string>

#include "support/support.h"

struct pg_server {
    temp_dir dir;
    int port = 0;
    std::string error;  // why start or sql failed, with the server's output

    pg_server() = default;
    pg_server(const pg_server&) = delete;
    ~pg_server();

    // Where the server programs are; empty when none are installed.
    static std::string bin_dir();

    // Makes the cluster (at the first start) and starts the server; false with `error`.
    bool start();
    // Stops it, fast (sessions are ended); true when it stopped.
    bool stop();

    // The superuser's connection string for `db` over the Unix socket.
    std::string url(const std::string& db = "postgres") const;
    // A URI over TCP to 127.0.0.1 with `user` and `password`.
    std::string tcp_url(const std::string& user, const std::string& password, const std::string& db) const;
    // Runs `statements` as the superuser in `db`, each in a transaction of its own (psql,
    // stopping at the first error; its commands such as \c too); false with `error` when one
    // failed.
    bool sql(const std::string& statements, const std::string& db = "postgres");

private:
    bool made = false;
    bool running = false;
    std::string data() const { return dir / "data"; }
    bool run(const std::vector<std::string>& argv, std::string* output = nullptr, const std::string& input = "");
};

// In a test: skips it when no server programs are installed, else starts `server`.
#define START_PG_SERVER(server)                                                 \
    do {                                                                        \
        if (pg_server::bin_dir().empty())                                       \
            GTEST_SKIP() << "no PostgreSQL server programs installed";          \
        ASSERT_TRUE((server).start()) << (server).error;                        \
    } while (0)
