// TLS for a test's PostgreSQL server, set up as the engineer's guide sets up the line's server:
// a root certificate and a certificate for 127.0.0.1 signed by it (both made with openssl req),
// ssl = on, and a hostssl line in place of the host lines, so that the server refuses any TCP
// session without TLS. The server's log then names each session's TLS (log_connections).
#pragma once

#include <string>

#include "support/pg_server.h"

struct pg_tls {
    std::string root;        // the root certificate that signed the server's certificate
    std::string other_root;  // a root certificate that signed nothing of the server's
    std::string error;       // why turn_on_tls failed
};

// Where the openssl program is; empty when it is not installed.
std::string openssl_program();

// Makes the certificates in `server`'s directory and starts the running `server` again with TLS on;
// false with `tls.error`.
bool turn_on_tls(pg_server& server, pg_tls& tls);

// The sessions of `user` open on `server` now, one line each as pg_stat_ssl has them: "t|TLSv1.3"
// for an encrypted one, "f|" for one without TLS.
std::string tls_of_open_sessions(const pg_server& server, const std::string& user);

// The sessions of `user` that `server` has let in so far, from its log: how many with TLS and
// how many without.
struct logged_sessions {
    int encrypted = 0;
    int plain = 0;
};
logged_sessions sessions_logged(const pg_server& server, const std::string& user);

// In a test: skips it when no openssl program is installed, else turns TLS on in `server`.
#define TURN_ON_TLS(server, tls)                                         \
    do {                                                                 \
        if (openssl_program().empty())                                   \
            GTEST_SKIP() << "no openssl program installed";              \
        ASSERT_TRUE(turn_on_tls((server), (tls))) << (tls).error;        \
    } while (0)
