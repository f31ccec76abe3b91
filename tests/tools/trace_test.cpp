// The trace capture tool end to end: the real program on a pseudo-terminal, keys typed as a
// person types them, the virtual unit as the unit; checked on the screen, in the trace file
// and on the unit's side.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>

#include "link/frames.h"
#include "support/session.h"
#include "support/trace_parts.h"
#include "support/unit_fixture.h"

namespace {

const char BANNER[] =
    "========================================================\n"
    "  Pelmo4Rix Version 4 Log Capture Utility. Version 1.03 \n"
    "========================================================\n\n";
const char PRESS_TO_EXIT[] = " Press anykey to exit the program.\n";

class trace_tool : public unit_test {
protected:
    temp_dir cwd;
    session tool;

    std::string trace_file() { return read_file(cwd / "Pelmo4Rix.trace"); }
    void start_tool() { ASSERT_TRUE(tool.start("pelmo4rix-trace", cwd.path, dev.path)); }

    // Waits until the tool has shown `dots` progress dots while logging.
    void wait_for_dots(int dots)
    {
        ASSERT_TRUE(tool.wait_for("\n Logging ."));
        for (int i = 0; i < dots; i++)
            ASSERT_TRUE(tool.wait_for("."));
    }
};

TEST_F(trace_tool, full_run_logs_every_byte_the_unit_sent)
{
    vunit* unit = start_unit();
    start_tool();
    ASSERT_TRUE(tool.wait_for(BANNER));
    ASSERT_TRUE(tool.wait_for("\n Search Device ...\n\t Found device on COM7\n"));
    ASSERT_TRUE(tool.wait_for(" Current Device Firmware Version = 605\n"));
    ASSERT_TRUE(tool.wait_for("\n Debug port enabled\n"));
    ASSERT_TRUE(tool.wait_for("\n Start Loging debug trace. Press any key to stop. \n"));
    wait_for_dots(10);
    tool.type("x");
    ASSERT_TRUE(tool.wait_for(" bytes. Press any key to exit program.\n"));
    tool.type("y");
    ASSERT_TRUE(tool.wait_for(" Exit program.\n"));
    EXPECT_EQ(tool.finish(), 0);

    EXPECT_EQ(frames_of(unit, CMD_QUIT, 1), 1);
    std::vector<int> kinds = kinds_received(unit);
    ASSERT_FALSE(kinds.empty());
    EXPECT_EQ(kinds.back(), CMD_QUIT);
    EXPECT_EQ(frames_of(unit, CMD_DEBUG_ON, 1), 1);

    std::vector<uint8_t> sent = vunit_trace_sent(unit);
    std::string trace(sent.begin(), sent.end());
    trace_parts parts = split_trace(trace_file(), trace);
    ASSERT_TRUE(parts.ok) << trace_file().substr(0, 300);
    EXPECT_NE(parts.first_read.find("PR Version = 605"), std::string::npos);
    EXPECT_EQ(parts.logged, trace.substr(parts.enabled_read.size(), parts.logged.size()));
    EXPECT_GT(parts.logged.size(), 500u);

    // The count shown covers the successful try and the logging, not the first read.
    size_t logged_at = tool.transcript.find("\n\n Logged ");
    ASSERT_NE(logged_at, std::string::npos);
    EXPECT_EQ(std::stoul(tool.transcript.substr(logged_at + 10)), parts.enabled_read.size() + parts.logged.size());
}

// A unit that sends the bytes that turn logging on and then nothing: the screen already says
// that logging has begun, although no byte comes to print a dot for.
TEST_F(trace_tool, quiet_unit_shows_logging_while_it_waits)
{
    vunit* unit = start_unit({"--trace-bytes", "120"});
    start_tool();
    ASSERT_TRUE(tool.wait_for("\n Start Loging debug trace. Press any key to stop. \n"));
    ASSERT_TRUE(tool.wait_for("\n Logging .", 5000)) << tool.transcript;
    tool.type("x");
    ASSERT_TRUE(tool.wait_for("\n\n Logged 120 bytes. Press any key to exit program.\n"));
    tool.type("y");
    EXPECT_EQ(tool.finish(), 0);
    EXPECT_EQ(vunit_trace_sent(unit).size(), 120u);
}

TEST_F(trace_tool, unit_that_never_starts_its_trace)
{
    vunit* unit = start_unit({"--fault", "no-reply:23"});
    start_tool();
    for (int k = 1; k <= 3; k++)
        ASSERT_TRUE(tool.wait_for("\n Enable debug port : Try " + std::to_string(k) + "\n"));
    ASSERT_TRUE(tool.wait_for("\n\n ERROR !!! Can't get the trace. Re-plug in device again\n"));
    tool.type("x");
    EXPECT_EQ(tool.finish(), 0);

    std::string file = trace_file();
    for (int k = 1; k <= 3; k++)
        EXPECT_NE(file.find("\n Enable debug port : Try " + std::to_string(k) + ": Count = 0\n"), std::string::npos);
    EXPECT_EQ(frames_of(unit, CMD_QUIT, 3), 3);
    EXPECT_EQ(frames_of(unit, CMD_DEBUG_ON, 3), 3);
}

TEST_F(trace_tool, no_unit)
{
    write_file(dev / "SERIALCOMM", "");
    start_tool();
    ASSERT_TRUE(tool.wait_for(std::string(BANNER) + "\n Search Device ...\n\tNo COM port available, Device may not attached.\n" +
                              PRESS_TO_EXIT));
    tool.type(" ");
    EXPECT_EQ(tool.finish(), 0);
    EXPECT_EQ(trace_file(), TRACE_BANNER_LINE);
}

TEST_F(trace_tool, trace_file_that_cannot_be_created)
{
    // A directory in the file's place: refused to everyone, root included.
    ASSERT_EQ(mkdir((cwd / "Pelmo4Rix.trace").c_str(), 0755), 0);
    start_tool();
    ASSERT_TRUE(tool.wait_for(std::string(" Error !!!! Can't create \"P2lmo4Rix.trace\" file. \n\n") + PRESS_TO_EXIT));
    tool.type("k");
    EXPECT_EQ(tool.finish(), 0);
    EXPECT_EQ(tool.transcript.find("Search Device"), std::string::npos);
}

TEST_F(trace_tool, closed_input_ends_the_run_instead_of_hanging)
{
    vunit* unit = start_unit();
    run_result run = run_program({program_path("pelmo4rix-trace")}, cwd.path, "", false, 20000);
    EXPECT_EQ(run.exit_code, 0);
    EXPECT_NE(run.output.find("\n Logging ."), std::string::npos);
    EXPECT_NE(run.output.find(" Exit program.\n"), std::string::npos);
    EXPECT_EQ(frames_of(unit, CMD_QUIT, 1), 1);
}

// Tells the unit on `path` to stop its trace and returns what was still on the line unread.
// Opening a port that a program holds takes root (the exclusive mode keeps others out).
std::string stop_and_drain(const std::string& path)
{
    int fd = open(path.c_str(), O_RDWR | O_NOCTTY);
    if (fd < 0)
        return "(can't open " + path + ")";
    termios raw;
    tcgetattr(fd, &raw);
    cfmakeraw(&raw);
    cfsetspeed(&raw, B115200);
    tcsetattr(fd, TCSANOW, &raw);
    std::string rest;
    if (write(fd, "/q", 2) == 2) {
        pollfd p = {fd, POLLIN, 0};
        while (poll(&p, 1, 300) > 0) {
            char chunk[4096];
            ssize_t r = read(fd, chunk, sizeof chunk);
            if (r <= 0)
                break;
            rest.append(chunk, static_cast<size_t>(r));
        }
    }
    close(fd);
    return rest;
}

TEST_F(trace_tool, killed_while_logging_loses_nothing_already_read)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "reading the held port's line takes root";
    vunit* unit = start_unit();
    start_tool();
    wait_for_dots(20);
    // Frozen mid-logging, the program is as it would be at the instant of a kill: every byte
    // the unit sent is either in the file already or still unread on the line.
    tool.kill_now(SIGSTOP);
    std::string file = trace_file();
    std::string unread = stop_and_drain(dev / "COM7");
    std::vector<uint8_t> sent = vunit_trace_sent(unit);
    std::string trace(sent.begin(), sent.end());
    trace_parts parts = split_trace(file, trace);
    ASSERT_TRUE(parts.ok);
    EXPECT_EQ(parts.enabled_read + parts.logged + unread, trace);

    tool.kill_now(SIGKILL);
    tool.finish();
    EXPECT_EQ(trace_file(), file);
}

// What the screen shows between "Logging ." and the count: the dots, and nothing typed.
std::string logging_line(const std::string& transcript)
{
    size_t from = transcript.find("\n Logging .");
    size_t to = transcript.find("\n\n Logged ");
    if (from == std::string::npos || to == std::string::npos)
        return "(no logging line)";
    from += sizeof "\n Logging " - 1;
    return transcript.substr(from, to - from);
}

struct key_case {
    const char* name;
    const char* bytes;  // what the terminal sends for one press
};

void PrintTo(const key_case& c, std::ostream* out) { *out << c.name; }

class keys_while_logging : public trace_tool, public testing::WithParamInterface<key_case> {};

// Any key stops logging without showing on the screen, the terminal's line editing keys
// included; a key that sends several bytes is still one press, so a second press is awaited.
TEST_P(keys_while_logging, stop_it_unechoed_and_count_as_one_press)
{
    start_unit();
    start_tool();
    wait_for_dots(2);
    EXPECT_TRUE(in_keys_mode(tool.terminal));
    tool.type(GetParam().bytes);
    ASSERT_TRUE(tool.wait_for(" bytes. Press any key to exit program.\n"));
    EXPECT_EQ(logging_line(tool.transcript).find_first_not_of('.'), std::string::npos) << tool.transcript;
    EXPECT_FALSE(tool.wait_for(" Exit program.\n", 300));
    tool.type("k");
    ASSERT_TRUE(tool.wait_for(" Exit program.\n"));
    EXPECT_EQ(tool.finish(), 0);
    EXPECT_TRUE(in_line_mode(tool.terminal));
}

INSTANTIATE_TEST_SUITE_P(trace_tool, keys_while_logging,
                         testing::Values(key_case{"letter", "x"}, key_case{"backspace", "\x7f"},
                                         key_case{"ctrl_u", "\x15"}, key_case{"arrow", "\x1b[A"},
                                         key_case{"f5", "\x1b[15~"}, key_case{"escape", "\x1b"},
                                         key_case{"two_byte_letter", "\xc3\xa9"}),
                         [](const testing::TestParamInfo<key_case>& info) { return std::string(info.param.name); });

struct signal_case {
    const char* name;
    int signal;
    bool after_stop_key;  // the signal comes while the tool waits for the exit key
};

void PrintTo(const signal_case& c, std::ostream* out) { *out << c.name; }

class signal_during_trace : public trace_tool, public testing::WithParamInterface<signal_case> {};

// Ctrl+C or a kill while the trace runs: the terminal gets its mode back, the unit's trace is
// stopped, the file holds what was logged, and the next run has the port at once.
TEST_P(signal_during_trace, restores_terminal_stops_trace_and_frees_the_port)
{
    vunit* unit = start_unit();
    start_tool();
    wait_for_dots(5);
    if (GetParam().after_stop_key) {
        tool.type("x");
        ASSERT_TRUE(tool.wait_for(" bytes. Press any key to exit program.\n"));
    }
    tool.kill_now(GetParam().signal);
    EXPECT_EQ(tool.finish(), -1);
    EXPECT_TRUE(in_line_mode(tool.terminal));
    EXPECT_EQ(frames_of(unit, CMD_QUIT, 1), 1);
    EXPECT_EQ(kinds_received(unit).back(), CMD_QUIT);

    std::vector<uint8_t> sent = vunit_trace_sent(unit);
    std::string trace(sent.begin(), sent.end());
    trace_parts parts = split_trace(trace_file(), trace);
    ASSERT_TRUE(parts.ok);
    EXPECT_EQ(parts.logged, trace.substr(parts.enabled_read.size(), parts.logged.size()));
    EXPECT_GT(parts.logged.size(), 200u);

    session again;
    ASSERT_TRUE(again.start("pelmo4rix-trace", cwd.path, dev.path));
    ASSERT_TRUE(again.wait_for("\t Found device on COM7\n"));
    ASSERT_TRUE(again.wait_for("\n Logging ."));
    again.type("xy");
    EXPECT_EQ(again.finish(), 0);
}

INSTANTIATE_TEST_SUITE_P(trace_tool, signal_during_trace,
                         testing::Values(signal_case{"sigint_logging", SIGINT, false},
                                         signal_case{"sigterm_logging", SIGTERM, false},
                                         signal_case{"sigint_at_exit_key", SIGINT, true},
                                         signal_case{"sigterm_at_exit_key", SIGTERM, true}),
                         [](const testing::TestParamInfo<signal_case>& info) { return std::string(info.param.name); });

// The unit unplugged while its trace is logged: the tool waits for the operator, keeps what it
// logged, and its exit reports the failed "/q". Its processor time meanwhile is a figure of
// link_bench's "trace" section; that each read of the gone port waits out its time-out is
// the port test's.
TEST_F(trace_tool, unplugged_while_logging)
{
    vunit* unit = start_unit();
    start_tool();
    wait_for_dots(5);
    vunit_unplug(unit);
    tool.type("x");
    ASSERT_TRUE(tool.wait_for(" bytes. Press any key to exit program.\n"));
    tool.type("y");
    ASSERT_TRUE(tool.wait_for(" Write file error\n Exit program.\n"));
    EXPECT_EQ(tool.finish(), 0);

    std::vector<uint8_t> sent = vunit_trace_sent(unit);
    std::string trace(sent.begin(), sent.end());
    trace_parts parts = split_trace(trace_file(), trace);
    ASSERT_TRUE(parts.ok);
    // What was still on its way in the line when it went is lost; all the rest is there.
    EXPECT_EQ(parts.enabled_read + parts.logged, trace.substr(0, parts.enabled_read.size() + parts.logged.size()));
    EXPECT_GT(parts.logged.size(), 200u);
}

}  // namespace
