// The three programs: one entry, a mode word each, arguments without effect, exit code 0.
#include <gtest/gtest.h>

#include "support/support.h"

namespace {

const char* const programs[] = {"pelmo4rix-trace", "pelmo4rix-update", "pelmo4rix-station"};
const char CLEAR[] = "\033[H\033[2J";

// No unit anywhere and a closed standard input: each tool gives up and ends by itself.
class entry : public ::testing::Test {
protected:
    temp_dir dev, cwd;
    scoped_env env{"PELMO4RIX_DEVICE_DIR", dev.path};
    void SetUp() override { write_file(dev / "SERIALCOMM", ""); }
};

TEST_F(entry, programs_clear_the_terminal_and_exit_0_with_or_without_arguments)
{
    for (const char* program : programs) {
        for (bool with_arguments : {false, true}) {
            SCOPED_TRACE(testing::Message() << program << (with_arguments ? " with arguments" : ""));
            std::vector<std::string> argv = {std::string(PELMO4RIX_BIN_DIR) + "/" + program};
            if (with_arguments)
                argv.insert(argv.end(), {"-x", "COM3", "--help"});
            run_result on_terminal = run_program(argv, cwd.path, "", true, 20000);
            EXPECT_EQ(on_terminal.exit_code, 0);
            EXPECT_EQ(on_terminal.output.rfind(CLEAR, 0), 0u) << on_terminal.output;

            run_result on_pipe = run_program(argv, cwd.path, "", false, 20000);
            EXPECT_EQ(on_pipe.exit_code, 0);
            EXPECT_EQ(on_pipe.output.find('\033'), std::string::npos) << on_pipe.output;
        }
    }
}

}  // namespace
