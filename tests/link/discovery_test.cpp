// Discovery against virtual units linked into a temporary device directory.
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cstring>

#include "link/discovery.h"
#include "link/frames.h"
#include "link/state.h"
#include "support/unit_fixture.h"

namespace {

using discovery = unit_test;

const char SEARCH[] = "\n Search Device ...\n";
const char NO_KEY[] = " Can't find comm port registry key\n";
const char NOT_LISTED[] = " \n\n Can't find device. COM port may be used by other application or device.\n\n";
const char SCAN[] = " Scan all possible COM ports ......";

struct search_result {
    int found;
    std::string output;
};

search_result search()
{
    search_result r;
    r.output = printed_by([&] { r.found = find_device(); });
    EXPECT_EQ(port_handle, nullptr);  // no port is left open
    return r;
}

TEST_F(discovery, empty_list_ends_the_search_without_a_scan)
{
    write_file(dev / "SERIALCOMM", "");
    start_unit({}, "COM7", false);
    search_result r = search();
    EXPECT_EQ(r.found, 0);
    EXPECT_EQ(r.output, std::string(SEARCH) + "\tNo COM port available, Device may not attached.\n");
}

TEST_F(discovery, unit_on_a_listed_port_is_found_without_a_scan)
{
    vunit* unit = start_unit();
    search_result r = search();
    EXPECT_EQ(r.found, 1);
    EXPECT_EQ(r.output, std::string(SEARCH) + "\t Found device on COM7\n");
    EXPECT_STREQ(found_port_name, "COM7");
    EXPECT_EQ(kinds_received(unit), std::vector<int>{CMD_PROBE});
}

TEST_F(discovery, missing_list_leads_to_the_scan)
{
    start_unit({}, "COM7", false);
    search_result r = search();
    EXPECT_EQ(r.found, 1);
    EXPECT_EQ(r.output, std::string(SEARCH) + NO_KEY + SCAN + "\t Found device on COM7\n");
}

TEST_F(discovery, unit_on_an_unlisted_port_is_found_by_the_scan)
{
    // Listed: a port that does not exist and a name too long to be a port; the unit is not listed.
    write_file(dev / "SERIALCOMM", "COM3\nABCDEFGHIJKLMNOPQRSTUVWXYZ\n");
    start_unit({}, "COM9", false);
    search_result r = search();
    EXPECT_EQ(r.found, 1);
    EXPECT_EQ(r.output, std::string(SEARCH) + NOT_LISTED + SCAN + "\t Found device on COM9\n");
}

TEST_F(discovery, nothing_anywhere)
{
    write_file(dev / "SERIALCOMM", "COM3\n");
    search_result r = search();
    EXPECT_EQ(r.found, 0);
    EXPECT_EQ(r.output, std::string(SEARCH) + NOT_LISTED + SCAN + " Scan all the COM ports and can't find the device.\n");
    EXPECT_STREQ(found_port_name, "");
}

TEST_F(discovery, silent_unit_is_found_after_its_restart)
{
    vunit* unit = start_unit({"--fault", "silent-until-restart"});
    search_result r = search();
    EXPECT_EQ(r.found, 1);
    EXPECT_EQ(r.output, std::string(SEARCH) + "\t Found device on COM7\n");
    // Two unanswered probes, the restart pair (each frame twice: the silent unit does not
    // answer them, but acts on them) at its speed, then the probe again.
    std::vector<int> at_default = kinds_received(unit, BAUD_DEFAULT);
    EXPECT_EQ(at_default, (std::vector<int>{CMD_PROBE, CMD_PROBE, CMD_RESTART_1, CMD_RESTART_1, CMD_RESTART_2,
                                            CMD_RESTART_2, CMD_PROBE}));
}

TEST_F(discovery, port_held_by_another_program_is_passed_over)
{
    vunit* held = start_unit({}, "COM5");
    start_unit({}, "COM7");
    int holder = open((dev / "COM5").c_str(), O_RDWR | O_NOCTTY);
    ASSERT_GE(holder, 0);
    ASSERT_EQ(flock(holder, LOCK_EX | LOCK_NB), 0);
    search_result r = search();
    EXPECT_EQ(r.found, 1);
    EXPECT_STREQ(found_port_name, "COM7");
    EXPECT_TRUE(kinds_received(held).empty());
    close(holder);
}

TEST_F(discovery, found_name_is_copied_with_its_terminator)
{
    vunit* far = start_unit({}, "COM100", false);
    ASSERT_EQ(search().found, 1);
    EXPECT_STREQ(found_port_name, "COM100");
    stop_unit(far);
    start_unit({}, "COM7");
    ASSERT_EQ(search().found, 1);
    EXPECT_STREQ(found_port_name, "COM7");
    EXPECT_EQ(reopen_port(), 1);
}

TEST_F(discovery, reopen_fails_when_the_port_is_gone)
{
    strcpy(found_port_name, "COM7");
    EXPECT_EQ(reopen_port(), 0);
    EXPECT_EQ(error_code, 1);
}

}  // namespace
