// The test suites' shared PostgreSQL server, started and stopped by CTest around the tests that
// need it (a fixture): `pg_fixture start DIR` makes a cluster in DIR and leaves its server
// running, `pg_fixture stop DIR` stops it and removes DIR. The tests find it through
// PELMO4RIX_TEST_PG=DIR.
#include <cstdio>
#include <filesystem>
#include <string>

#include "support/pg_server.h"

int main(int argc, char** argv)
{
    if (argc != 3 || (std::string(argv[1]) != "start" && std::string(argv[1]) != "stop")) {
        fprintf(stderr, "usage: pg_fixture start|stop DIR\n");
        return 2;
    }
    const std::string action = argv[1], dir = argv[2];
    if (pg_server::bin_dir().empty()) {
        printf("no PostgreSQL server programs installed: the tests that need one skip\n");
        return 0;
    }
    std::error_code ignored;
    if (std::filesystem::exists(dir)) {  // the last run's, or one that a run cut off left behind
        pg_server left(dir);
        if (!left.stop())
            fprintf(stderr, "pg_fixture: %s\n", left.error.c_str());
    }
    std::filesystem::remove_all(dir, ignored);
    if (action == "stop")
        return 0;
    pg_server server(dir);
    if (!server.start()) {
        fprintf(stderr, "pg_fixture: %s\n", server.error.c_str());
        return 1;
    }
    printf("PostgreSQL server in %s on port %d\n", dir.c_str(), server.port);
    return 0;
}
