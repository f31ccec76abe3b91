// Files the tools write, each with a symbolic link planted in its place as another user of a
// shared directory could: the tool refuses it (or goes around it) and the link's target stays
// as it was. Against the real programs and a virtual unit.
#include <sys/stat.h>
#include <unistd.h>

#include "common/exit_codes.h"
#include "support/session.h"
#include "support/unit_fixture.h"

namespace {

constexpr char VICTIM_TEXT[] = "another user's file\n";

class safe_files_test : public unit_test {
protected:
    temp_dir cwd, elsewhere;
    std::string victim = elsewhere.path + "/victim";

    void SetUp() override
    {
        unit_test::SetUp();
        write_file(cwd.path + "/info.ini", "0604 03 000200 ");
        write_file(victim, VICTIM_TEXT);
    }

    void plant_link(const std::string& name)
    {
        unlink((cwd.path + "/" + name).c_str());
        ASSERT_EQ(symlink(victim.c_str(), (cwd.path + "/" + name).c_str()), 0) << name;
    }

    run_result run(const std::vector<std::string>& args)
    {
        std::vector<std::string> argv = {program_path("pelmo4rix")};
        argv.insert(argv.end(), args.begin(), args.end());
        return run_program(argv, cwd.path, "", false, 60000);
    }
};

TEST_F(safe_files_test, ALinkInPlaceOfAFileTheGangWritesIsRefused)
{
    struct link_case {
        const char* file;
        int exit_code;  // the gang's: refused before any unit, or goes around the link
    } cases[] = {
        {"info.ini", EXIT_ADDRESS_FILE},
        {"info.ini.lock", EXIT_ADDRESS_FILE},
        {"production.csv", EXIT_RECORD_FILE},
        {"info.ini.tmp", EXIT_OK},  // the copy is made under a name of its own
    };
    start_unit({}, "COM7");
    for (const link_case& c : cases) {
        plant_link(c.file);
        run_result r = run({"gang", "--ports", "COM7", "--units", "1"});
        EXPECT_EQ(r.exit_code, c.exit_code) << c.file << "\n" << r.output;
        EXPECT_EQ(read_file(victim), VICTIM_TEXT) << c.file;
        if (c.exit_code != EXIT_OK) {
            EXPECT_NE(r.output.find("symbolic link"), std::string::npos) << c.file << "\n" << r.output;
        }
        unlink((cwd.path + "/" + c.file).c_str());
        write_file(cwd.path + "/info.ini", "0604 03 000200 ");
    }
    // The one good run replaced info.ini with a file of its own: no copy left behind.
    struct stat status;
    EXPECT_NE(lstat((cwd.path + "/info.ini.tmp").c_str(), &status), 0);
}

TEST_F(safe_files_test, ALinkInPlaceOfTheTraceFileIsRefused)
{
    start_unit({}, "COM7");
    plant_link("trace.bin");
    run_result r = run({"trace", "--seconds", "1", "--out", "trace.bin"});
    EXPECT_EQ(r.exit_code, EXIT_TRACE_FILE) << r.output;
    EXPECT_NE(r.output.find("symbolic link"), std::string::npos) << r.output;
    EXPECT_EQ(read_file(victim), VICTIM_TEXT);
}

TEST_F(safe_files_test, ALinkToAFileNotYetThereMakesNone)
{
    // O_CREAT through a dangling link would make the file the link names.
    unlink(victim.c_str());
    start_unit({}, "COM7");
    plant_link("info.ini.lock");
    run_result r = run({"gang", "--ports", "COM7", "--units", "1"});
    EXPECT_EQ(r.exit_code, EXIT_ADDRESS_FILE) << r.output;
    EXPECT_NE(access(victim.c_str(), F_OK), 0) << "made through the link";
}

TEST_F(safe_files_test, CellsASpreadsheetWouldRunAreWrittenAsText)
{
    start_unit({}, "=1+2");
    run_result r = run({"gang", "--ports", "=1+2", "--units", "1"});
    ASSERT_EQ(r.exit_code, EXIT_OK) << r.output;
    const std::string record = read_file(cwd.path + "/production.csv");
    EXPECT_NE(record.find(",'=1+2,0604:03:000200,"), std::string::npos) << record;
}

}  // namespace
