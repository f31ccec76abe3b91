// The shared pool over TLS: `flash --pool` and `gang --pool` against a private server that
// takes TCP sessions only with TLS, its certificate made for 127.0.0.1 by the test's own root.
// The root the URL names decides: the right one gives an address and a record over encrypted
// sessions (as the server saw them); a wrong one or none is refused before any unit is touched.
#include <memory>

#include "support/gang_process.h"
#include "support/pg_server.h"
#include "support/pg_tls.h"
#include "support/session.h"
#include "support/unit_fixture.h"

namespace {

constexpr char FIRST[] = "0604:03:000100";
constexpr char STATION[] = "station";
constexpr char STATION_PASSWORD[] = "s3cret-station";

class pool_tls : public unit_test {
protected:
    static pg_server* server;
    static pg_tls tls;
    temp_dir cwd;
    temp_dir home;  // where libpq would look for a default root certificate: nothing there
    scoped_env home_env{"HOME", home.path};
    std::string db;  // the pool's database

    static void TearDownTestSuite()
    {
        delete server;
        server = nullptr;
    }

    void SetUp() override
    {
        unit_test::SetUp();
        if (!server) {
            auto started = std::make_unique<pg_server>();
            START_PG_SERVER(*started);
            TURN_ON_TLS(*started, tls);
            ASSERT_TRUE(started->sql(std::string("CREATE ROLE ") + STATION + " LOGIN PASSWORD '" + STATION_PASSWORD +
                                     "'"))
                << started->error;
            server = started.release();
        }
    }

    // A fresh pool of ten addresses for what comes next, owned by the station's role.
    void make_pool()
    {
        static int pools = 0;
        db = "line" + std::to_string(++pools);
        ASSERT_TRUE(server->sql("CREATE DATABASE " + db + " OWNER " + STATION)) << server->error;
        run_result init = pelmo4rix({"pool", "init", "--pool", url(tls.root), "--first", FIRST, "--last",
                                     "0604:03:000109"});
        ASSERT_EQ(init.exit_code, 0) << init.output;
    }

    // The station's URL over TCP with verify-full and `root` as its sslrootcert (none if empty).
    std::string url(const std::string& root) const
    {
        return server->tcp_url(STATION, STATION_PASSWORD, db) + "?sslmode=verify-full" +
               (root.empty() ? "" : "&sslrootcert=" + root);
    }

    run_result pelmo4rix(const std::vector<std::string>& args)
    {
        std::vector<std::string> argv = {program_path("pelmo4rix")};
        argv.insert(argv.end(), args.begin(), args.end());
        return run_program(argv, cwd.path, "", false, 60000);
    }

    // `flash --pool URL` or `gang --pool URL` for one unit on COM7.
    run_result draw_one(const std::string& program, const std::string& pool_url)
    {
        if (program == "flash")
            return pelmo4rix({"--quiet", "--port", "COM7", "flash", "--pool", pool_url, "--station", "T"});
        return pelmo4rix({"gang", "--pool", pool_url, "--ports", "COM7", "--units", "1", "--station", "T"});
    }

    // A field of `pool status --json`, read as the owner over the server's Unix socket.
    std::string status(const std::string& key)
    {
        run_result r = run_program({program_path("pelmo4rix"), "pool", "status", "--pool", server->url(db), "--json"},
                                   cwd.path, "", false, 30000, true);
        size_t at = r.output.find("\"" + key + "\":");
        return at == std::string::npos ? "missing " + r.output + r.errors
                                       : r.output.substr(at + key.size() + 3, r.output.find_first_of(",}", at) -
                                                                                   at - key.size() - 3);
    }
};

pg_server* pool_tls::server = nullptr;
pg_tls pool_tls::tls;

TEST_F(pool_tls, the_right_root_gives_an_address_over_encrypted_sessions)
{
    for (const char* program : {"flash", "gang"}) {
        SCOPED_TRACE(program);
        ASSERT_NO_FATAL_FAILURE(make_pool());
        vunit* unit = start_unit({"--write-ms", "1"});
        ASSERT_NE(unit, nullptr);
        logged_sessions before = sessions_logged(*server, STATION);
        run_result r = draw_one(program, url(tls.root));
        EXPECT_EQ(r.exit_code, 0) << r.output;
        EXPECT_TRUE(holds_address(unit, FIRST));
        EXPECT_EQ(status("good"), "1");
        EXPECT_EQ(status("in_progress"), "0");
        logged_sessions after = sessions_logged(*server, STATION);
        EXPECT_GT(after.encrypted, before.encrypted) << read_file(server->log_file());
        EXPECT_EQ(after.plain, 0);
        stop_unit(unit);
    }
}

// While a gang runs, the server shows its sessions as encrypted.
TEST_F(pool_tls, a_running_gang_shows_on_the_server_as_encrypted)
{
    ASSERT_NO_FATAL_FAILURE(make_pool());
    start_unit({"--write-ms", "1"});
    gang_process gang;
    gang.start({"--pool", url(tls.root), "--ports", "COM7", "--units", "2", "--station", "T"}, cwd.path);
    ASSERT_TRUE(gang.wait_for("COM7 " + std::string(FIRST) + " good")) << gang.output;
    std::string sessions = tls_of_open_sessions(*server, STATION);
    EXPECT_NE(sessions, "") << "the gang has a session open";
    EXPECT_EQ(sessions.find("f|"), std::string::npos) << sessions;
    EXPECT_NE(sessions.find("t|TLSv1."), std::string::npos) << sessions;
}

// Refused before any unit is touched: exit code 33 and what is wrong with the certificate.
TEST_F(pool_tls, a_server_that_can_t_be_checked_is_refused_before_any_unit)
{
    struct refusal {
        const char* why;
        std::string root;
        const char* says;
    };
    const refusal cases[] = {
        {"a root that signed something else", tls.other_root, "the server's certificate was not trusted"},
        {"no root certificate", "", "no root certificate was found"},
    };
    for (const refusal& c : cases) {
        for (const char* program : {"flash", "gang"}) {
            SCOPED_TRACE(std::string(c.why) + ", " + program);
            ASSERT_NO_FATAL_FAILURE(make_pool());
            vunit* unit = start_unit();
            ASSERT_NE(unit, nullptr);
            run_result r = draw_one(program, url(c.root));
            EXPECT_EQ(r.exit_code, 33) << r.output;
            EXPECT_NE(r.output.find(c.says), std::string::npos) << r.output;
            EXPECT_EQ(r.output.find(STATION_PASSWORD), std::string::npos) << r.output;
            EXPECT_EQ(kinds_received(unit), std::vector<int>{}) << "nothing sent to the unit";
            EXPECT_EQ(status("free"), "10");
            EXPECT_EQ(status("in_progress"), "0");
            stop_unit(unit);
        }
    }
}

}  // namespace
