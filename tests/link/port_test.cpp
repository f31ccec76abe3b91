// The serial port over real pseudo-terminals linked into a temporary device directory.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>

#include "link/frames.h"
#include "link/os_port.h"
#include "link/port.h"
#include "link/state.h"
#include "support/support.h"

namespace {

class port : public ::testing::Test {
protected:
    temp_dir dev;
    scoped_env env{"PELMO4RIX_DEVICE_DIR", dev.path};
    far_end unit;

    void SetUp() override { reset_state(); }
    void TearDown() override { reset_state(); }
};

TEST_F(port, names_of_four_or_more_characters_live_in_the_device_directory)
{
    const struct {
        const char* link;  // where the port is linked: "dev" or "cwd"
        const char* name;
        int opened;
    } table[] = {
        {"dev", "COM7", 1},
        {"dev", "COM255", 1},
        {"dev", "ABCDEFGHIJKLMNO", 1},    // 15 characters: the longest that fits
        {"dev", "ABCDEFGHIJKLMNOP", 0},   // 16: refused even though it exists
        {"dev", "COM", 0},                // short names are not looked up in the directory
        {"cwd", "COM", 1},                // ... but opened as they stand
        {"cwd", "COM8", 0},
        {"dev", "", 0},
    };
    temp_dir cwd;
    char old_cwd[4096];
    ASSERT_NE(getcwd(old_cwd, sizeof old_cwd), nullptr);
    ASSERT_EQ(chdir(cwd.path.c_str()), 0);
    for (const auto& c : table) {
        SCOPED_TRACE(testing::Message() << c.link << " " << c.name);
        std::string dir = std::string(c.link) == "dev" ? dev.path : cwd.path;
        if (*c.name)
            unit.link_as(dir, c.name);
        error_code = 0;
        EXPECT_EQ(open_port(c.name), c.opened);
        EXPECT_EQ(port_handle != nullptr, c.opened == 1);
        EXPECT_EQ(error_code, c.opened ? 0 : 1);
        close_port();
        if (*c.name)
            unlink((dir + "/" + c.name).c_str());
    }
    ASSERT_EQ(chdir(old_cwd), 0);
}

TEST_F(port, a_second_open_keeps_the_open_port)
{
    unit.link_as(dev.path, "COM7");
    ASSERT_EQ(open_port("COM7"), 1);
    os_port* first = port_handle;
    int result = 0;
    EXPECT_EQ(printed_by([&] { result = open_port("COM99"); }), " Port is opened\n");
    EXPECT_EQ(result, 1);
    EXPECT_EQ(port_handle, first);
}

// Another program holds the port by a file lock, or by the terminal's exclusive mode alone
// (which root could open anyway); either way the port is busy, and the other's claim stays.
TEST_F(port, a_port_held_by_another_program_is_refused_and_keeps_its_claim)
{
    unit.link_as(dev.path, "COM7");
    enum hold { by_lock, by_exclusive_mode };
    for (hold how : {by_lock, by_exclusive_mode}) {
        SCOPED_TRACE(how == by_lock ? "flock" : "TIOCEXCL");
        int holder = open((dev.path + "/COM7").c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
        ASSERT_GE(holder, 0);
        ASSERT_EQ(how == by_lock ? flock(holder, LOCK_EX) : ioctl(holder, TIOCEXCL), 0);
        error_code = 0;
        EXPECT_EQ(open_port("COM7"), 0);
        EXPECT_EQ(error_code, 1);
        EXPECT_EQ(port_handle, nullptr);
        int exclusive = 0;
        ASSERT_EQ(ioctl(holder, TIOCGEXCL, &exclusive), 0);
        EXPECT_EQ(exclusive, how == by_exclusive_mode ? 1 : 0);
        if (how == by_exclusive_mode)
            ioctl(holder, TIOCNXCL);
        close(holder);
        EXPECT_EQ(open_port("COM7"), 1);  // free again once the holder is gone
        close_port();
    }
}

// Closing our port gives back our exclusive mode, so that the next program gets in.
TEST_F(port, close_clears_our_own_claim)
{
    unit.link_as(dev.path, "COM7");
    ASSERT_EQ(open_port("COM7"), 1);
    int exclusive = 0;
    ASSERT_EQ(ioctl(unit.held_terminal, TIOCGEXCL, &exclusive), 0);
    EXPECT_EQ(exclusive, 1);
    close_port();
    ASSERT_EQ(ioctl(unit.held_terminal, TIOCGEXCL, &exclusive), 0);
    EXPECT_EQ(exclusive, 0);
}

TEST_F(port, configure_sets_a_raw_line_at_the_speed_asked)
{
    unit.link_as(dev.path, "COM7");
    EXPECT_EQ(configure_port(BAUD_DEFAULT), 0);  // nothing open
    EXPECT_EQ(set_port_mask(), 0);
    EXPECT_EQ(error_code, 0);
    ASSERT_EQ(open_port("COM7"), 1);
    for (uint32_t baud : {BAUD_LOADER, BAUD_DEFAULT}) {
        SCOPED_TRACE(baud);
        EXPECT_EQ(configure_port(baud), 1);
        termios line;
        ASSERT_EQ(tcgetattr(unit.held_terminal, &line), 0);
        EXPECT_EQ(cfgetospeed(&line), baud == BAUD_LOADER ? B1000000 : B115200);
        EXPECT_EQ(line.c_lflag & (ECHO | ICANON), 0u);
        EXPECT_EQ(line.c_cflag & (CSIZE | PARENB | CSTOPB), static_cast<tcflag_t>(CS8));
    }
    EXPECT_EQ(set_port_mask(), 1);
}

TEST_F(port, close_with_nothing_open_does_nothing)
{
    EXPECT_EQ(printed_by(close_port), "");
    EXPECT_EQ(port_handle, nullptr);
    EXPECT_EQ(error_code, 0);
}

long long elapsed_ms(std::chrono::steady_clock::time_point since)
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - since).count();
}

// Each read ends on its count, on the quiet gap after fewer bytes, or on its total time-out,
// which it waits out in full. How soon each ends is a figure of link_bench's "timeouts"; a
// wait is only ever longer on a busy machine, so only its least length is held here.
TEST_F(port, reads_end_on_count_quiet_gap_or_total_time_out)
{
    unit.link_as(dev.path, "COM7");
    ASSERT_EQ(open_port("COM7"), 1);
    ASSERT_EQ(configure_port(BAUD_DEFAULT), 1);
    uint8_t buffer[300];

    unit.write(std::vector<uint8_t>(10, 0xA5));
    EXPECT_EQ(os_port_read(port_handle, buffer, 10), 10);

    unit.write(std::vector<uint8_t>(5, 0x5A));
    EXPECT_EQ(os_port_read(port_handle, buffer, 290), 5) << "fewer than asked, ended by the quiet gap";

    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(os_port_read(port_handle, buffer, 200), 0);
    EXPECT_GE(elapsed_ms(start), 200) << "nothing: the read waits n + 1 ms";
}

// A line that is gone (the unit unplugged) fails every read at once; each read must still
// take its time-out, or a tool that reads in a loop spins a core.
TEST_F(port, reads_of_a_line_that_is_gone_fail_after_their_time_out)
{
    unit.link_as(dev.path, "COM7");
    ASSERT_EQ(open_port("COM7"), 1);
    ASSERT_EQ(configure_port(BAUD_DEFAULT), 1);
    close(unit.master);
    unit.master = -1;
    uint8_t buffer[100];
    for (int i = 0; i < 3; i++) {
        auto start = std::chrono::steady_clock::now();
        EXPECT_EQ(os_port_read(port_handle, buffer, sizeof buffer), -1);
        EXPECT_GE(elapsed_ms(start), 100);
    }
}

}  // namespace

namespace {

TEST(port_list, device_directory_list_is_its_serialcomm_file)
{
    temp_dir dev;
    scoped_env env("PELMO4RIX_DEVICE_DIR", dev.path);
    std::vector<std::string> names;
    int count = -1;
    EXPECT_EQ(os_list_ports(names, count), OS_LIST_NO_KEY);  // no list at all

    write_file(dev / "SERIALCOMM", "COM7\r\n\nCOM12\n");
    EXPECT_EQ(os_list_ports(names, count), OS_LIST_OK);
    EXPECT_EQ(names, (std::vector<std::string>{"COM7", "COM12"}));
    EXPECT_EQ(count, 2);
}

// A list that is there but can't be read is as good as none: the tools then scan COM1 to
// COM255. A file without read permission stops only a user who is not root.
TEST(port_list, unreadable_list_counts_as_missing)
{
    temp_dir dev;
    scoped_env env("PELMO4RIX_DEVICE_DIR", dev.path);
    std::vector<std::string> names;
    int count = -1;
    ASSERT_EQ(mkdir((dev / "SERIALCOMM").c_str(), 0755), 0);
    EXPECT_EQ(os_list_ports(names, count), OS_LIST_NO_KEY);
    EXPECT_TRUE(names.empty());
    EXPECT_EQ(count, 0);
    ASSERT_EQ(rmdir((dev / "SERIALCOMM").c_str()), 0);

    if (geteuid() != 0) {
        write_file(dev / "SERIALCOMM", "COM7\n");
        ASSERT_EQ(chmod((dev / "SERIALCOMM").c_str(), 0), 0);
        EXPECT_EQ(os_list_ports(names, count), OS_LIST_NO_KEY);
    }
}

}  // namespace
