// The address file: reading and checking it, stepping the address, the rewrite that leaves
// the old file whole when it fails, the reservation, and the lock.
#include <dirent.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cstring>

#include "link/state.h"
#include "support/support.h"
#include "tools/address_file.h"

namespace {

const char HEADING[] = " Write BT address into ini file\n";
const char WRITE_ERROR[] = " \n\n !!!! Error to write to INI file !!!!!\n\n";
const char UPDATE_ERROR[] = "\n\n ERROR !!!! Faile to update \"info.ini\" file. !!!!\n\n";
const char OPEN_WARNING[] = "\n\n WARMING !!!! Faile to open \"info.ini\" file. Use default \n\n";
const char NOT_CORRECT[] = "\n\n WARMING ini file is not correct, Please update the ini file and try again\n\n";
const char NO_FILE[] = " Error, no INI file\n";
const char NAP_WRONG[] = "\n ini file NAP field is not correct, should be 0604\n";
const char UAP_WRONG[] = "\n ini file UAP field is not correct, length should be 2\n";
const char LAP_WRONG[] = "\n ini file LAP field is not correct, length should be 6\n";
const char DEFAULT_LINE[] = "0604 03 000100 ";

// bt_address as the screen and the file show it: NAP, UAP, LAP.
std::string shown_address()
{
    char text[16];
    snprintf(text, sizeof text, "%02x%02x %02x %02x%02x%02x", bt_address[5], bt_address[4], bt_address[3],
             bt_address[2], bt_address[1], bt_address[0]);
    return text;
}

std::string next_line(const std::string& address)
{
    return " Next BT ADD = " + address + "\n";
}

bool exists(const std::string& path)
{
    struct stat st;
    return lstat(path.c_str(), &st) == 0;
}

// Names in `dir` that begin with `prefix`.
int entries_starting(const std::string& dir, const std::string& prefix)
{
    int n = 0;
    DIR* d = opendir(dir.c_str());
    for (dirent* e; d && (e = readdir(d));)
        n += std::string(e->d_name).rfind(prefix, 0) == 0;
    if (d)
        closedir(d);
    return n;
}

struct child_outcome {
    int result = -1;
    std::string output;
};

// Runs `action` in a child process, after `setup` there: the action's result (99 when the
// setup failed) and what it printed.
template <typename Setup, typename Action>
child_outcome run_in_child(Setup setup, Action action)
{
    int out[2];
    if (pipe(out) != 0)
        return {};
    fflush(stdout);
    const pid_t test = getpid();
    pid_t pid = fork();
    if (pid == 0) {
        end_with_test(test);
        dup2(out[1], STDOUT_FILENO);
        close(out[0]);
        close(out[1]);
        if (!setup())
            _exit(99);
        int result = action();
        fflush(stdout);
        _exit(result);
    }
    close(out[1]);
    child_outcome outcome;
    char chunk[512];
    for (ssize_t r; (r = read(out[0], chunk, sizeof chunk)) > 0;)
        outcome.output.append(chunk, static_cast<size_t>(r));
    close(out[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    outcome.result = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return outcome;
}

// What `action` printed in a child process whose files can't grow: every write to a file fails
// as on a full disk (standard output is a pipe, which the limit does not touch).
template <typename Action>
std::string printed_on_full_disk(Action action)
{
    auto no_file_grows = [] {
        signal(SIGXFSZ, SIG_IGN);
        const rlimit nothing = {0, 0};
        return setrlimit(RLIMIT_FSIZE, &nothing) == 0;
    };
    return run_in_child(no_file_grows, action).output;
}

// Runs `action` in a child process that gives up root first when it has it, so that read-only
// files and directories refuse it as they refuse an operator; `mode` is the directory's mode
// meanwhile (the child may not be its owner). The child's result and what it printed.
template <typename Action>
child_outcome run_unprivileged(const std::string& dir, mode_t mode, Action action)
{
    auto as_nobody = [] {
        const gid_t nobody = 65534;
        return geteuid() != 0 || (setgid(nobody) == 0 && setuid(nobody) == 0);
    };
    chmod(dir.c_str(), mode);
    child_outcome outcome = run_in_child(as_nobody, action);
    chmod(dir.c_str(), 0755);
    return outcome;
}

class address_file : public ::testing::Test {
protected:
    temp_dir dir;
    std::string file = dir / "info.ini";

    void SetUp() override { reset_state(); }
    void TearDown() override { reset_state(); }

    // Loads `content` as the file, which must be good.
    void load(const std::string& content)
    {
        write_file(file, content);
        int result = -1;
        std::string out = printed_by([&] { result = load_address_file(file.c_str()); });
        EXPECT_EQ(result, 1) << out;
    }
};

TEST_F(address_file, hex_digit_values)
{
    const std::pair<char, int> table[] = {{'0', 0}, {'9', 9}, {'a', 10}, {'f', 15}, {'A', 10}, {'F', 15},
                                          {'g', 0}, {'G', 0}, {'x', 0},  {' ', 0},  {'/', 0},  {':', 0}};
    for (auto [c, value] : table)
        EXPECT_EQ(hex_digit_value(c), value) << c;
}

struct parse_case {
    const char* name;
    std::string content;
    const char* message;  // the field's message, nullptr when the file is good
    const char* address;  // what a good file gives
};

TEST_F(address_file, contents_read_and_checked)
{
    const std::string long_digits(36, '0');
    const parse_case table[] = {
        {"the written line", DEFAULT_LINE, nullptr, "0604 03 000100"},
        {"a line end after it", "0604 03 000100 \r\n", nullptr, "0604 03 000100"},
        {"three lines", "0604\n03\n000100\n", nullptr, "0604 03 000100"},
        {"tabs", "0604\t03\t000100", nullptr, "0604 03 000100"},
        {"text after the third field", "0604 03 000100 0605 zz", nullptr, "0604 03 000100"},
        {"NAP with more characters", "0604abc 03 000100", nullptr, "0604 03 000100"},
        {"NAP of the longest token", "0604" + std::string(27, 'x') + " 03 000100", nullptr, "0604 03 000100"},
        {"upper-case digits", "0604 AB 00FFEE", nullptr, "0604 ab 00ffee"},
        {"no hex digits count as 0", "0604 0x 00zz01", nullptr, "0604 00 000001"},
        {"NAP of three digits", "604 03 000100", NAP_WRONG, nullptr},
        {"NAP first digit", "1604 03 000100", NAP_WRONG, nullptr},
        {"NAP second digit", "0704 03 000100", NAP_WRONG, nullptr},
        {"NAP third digit", "0614 03 000100", NAP_WRONG, nullptr},
        {"NAP fourth digit", "0605 03 000100", NAP_WRONG, nullptr},
        {"one-digit UAP", "0604 3 000100", UAP_WRONG, nullptr},
        {"three-digit UAP", "0604 003 000100", UAP_WRONG, nullptr},
        {"five-digit LAP", "0604 03 00100", LAP_WRONG, nullptr},
        {"seven-digit LAP", "0604 03 0000100", LAP_WRONG, nullptr},
        {"empty file", "", NAP_WRONG, nullptr},
        {"blanks only", " \n\t ", NAP_WRONG, nullptr},
        {"NAP only", "0604 ", UAP_WRONG, nullptr},
        {"NAP and UAP only", "0604 03\n", LAP_WRONG, nullptr},
        {"NAP token too long to keep", "0604" + std::string(28, 'x') + " 03 000100", NAP_WRONG, nullptr},
        {"40-character NAP", "0604" + long_digits + " 03 000100", NAP_WRONG, nullptr},
        {"40-character UAP", "0604 03" + long_digits + "00 000100", UAP_WRONG, nullptr},
        {"40-character LAP", "0604 03 000100" + long_digits + "00", LAP_WRONG, nullptr},
    };
    for (const parse_case& c : table) {
        SCOPED_TRACE(c.name);
        const uint8_t before[6] = {0x99, 0x88, 0x77, 0x66, 0x04, 0x06};
        memcpy(bt_address, before, sizeof before);
        lap_counter = 0x778899;
        write_file(file, c.content);
        int result = -1;
        std::string out = printed_by([&] { result = load_address_file(file.c_str()); });
        EXPECT_EQ(result, c.message ? 0 : 1);
        EXPECT_EQ(out, c.message ? std::string(c.message) + NOT_CORRECT : "");
        EXPECT_EQ(shown_address(), c.address ? c.address : "0604 66 778899");
        EXPECT_EQ(lap_counter, bt_address[2] << 16 | bt_address[1] << 8 | bt_address[0]);
        EXPECT_EQ(read_file(file), c.content);  // reading never rewrites it
        EXPECT_EQ(info_file, nullptr);
    }
}

TEST_F(address_file, missing_file_created_with_the_default_address)
{
    int result = -1;
    std::string out = printed_by([&] { result = load_address_file(file.c_str()); });
    EXPECT_EQ(result, 1);
    EXPECT_EQ(out, std::string(OPEN_WARNING) + HEADING);
    EXPECT_EQ(read_file(file), DEFAULT_LINE);
    EXPECT_EQ(shown_address(), "0604 03 000100");
    EXPECT_EQ(lap_counter, 0x100);
    EXPECT_EQ(entries_starting(dir.path, "info.ini."), 0);  // no copy left
}

TEST_F(address_file, file_that_cannot_be_opened_for_update)
{
    // A directory in the file's place opens for reading but not for update, for anyone.
    ASSERT_EQ(mkdir(file.c_str(), 0755), 0);
    int result = -1;
    EXPECT_EQ(printed_by([&] { result = load_address_file(file.c_str()); }), std::string(NO_FILE) + NOT_CORRECT);
    EXPECT_EQ(result, 0);
    rmdir(file.c_str());

    write_file(file, DEFAULT_LINE);
    chmod(file.c_str(), 0444);
    child_outcome read_only = run_unprivileged(dir.path, 0777, [&] { return load_address_file(file.c_str()); });
    EXPECT_EQ(read_only.result, 0);
    EXPECT_EQ(read_only.output, std::string(NO_FILE) + NOT_CORRECT);
    EXPECT_EQ(read_file(file), DEFAULT_LINE);
}

TEST_F(address_file, missing_file_that_cannot_be_created)
{
    child_outcome outcome = run_unprivileged(dir.path, 0555, [&] { return load_address_file(file.c_str()); });
    EXPECT_EQ(outcome.result, 0);
    EXPECT_EQ(outcome.output, std::string(OPEN_WARNING) + " Error !!!! Can't create \"info.ini\" file. \n\n");
    EXPECT_FALSE(exists(file));
}

struct step_case {
    const char* from;
    const char* to;
};

TEST_F(address_file, step_to_the_next_address)
{
    const step_case table[] = {
        {"0604 03 000100 ", "0604 03 000101"},
        {"0604 03 0000ff ", "0604 03 000100"},
        {"0604 AB 00FFEE", "0604 ab 00ffef"},
        {"0604 03 ffffff ", "0604 03 000000"},  // only the LAP's 24 bits count; UAP and NAP stay
    };
    for (const step_case& c : table) {
        SCOPED_TRACE(c.from);
        load(c.from);
        EXPECT_EQ(printed_by([&] { advance_address(file.c_str()); }), next_line(c.to) + HEADING);
        EXPECT_EQ(read_file(file), std::string(c.to) + " ");
        EXPECT_EQ(shown_address(), c.to);
        EXPECT_EQ(lap_counter, bt_address[2] << 16 | bt_address[1] << 8 | bt_address[0]);
        EXPECT_EQ(entries_starting(dir.path, "info.ini."), 0);  // no copy left
    }
}

TEST_F(address_file, reservation_and_its_release_are_silent)
{
    load("0604 03 000100 ");
    EXPECT_EQ(printed_by([&] { EXPECT_EQ(reserve_address(file.c_str()), 1); }), "");
    EXPECT_EQ(read_file(file), "0604 03 000101 ");
    EXPECT_EQ(shown_address(), "0604 03 000100");  // the address in memory is still the unit's
    EXPECT_EQ(printed_by([&] { EXPECT_EQ(release_address(file.c_str()), 1); }), "");
    EXPECT_EQ(read_file(file), "0604 03 000100 ");
    EXPECT_EQ(entries_starting(dir.path, "info.ini."), 0);  // no copy left
}

struct access_case {
    mode_t mode;
    uid_t owner;  // as root only
    gid_t group;
};

// A rewrite leaves the file as it was set up: its permissions, and as root its owner and group.
TEST_F(address_file, rewrite_keeps_permissions_and_owner)
{
    const bool root = geteuid() == 0;
    const access_case table[] = {{0600, 1234, 2345}, {0664, 0, 2345}};
    for (const access_case& c : table) {
        SCOPED_TRACE(c.mode);
        load("0604 03 000100 ");
        ASSERT_EQ(chmod(file.c_str(), c.mode), 0);
        if (root) {
            ASSERT_EQ(chown(file.c_str(), c.owner, c.group), 0);
        }
        printed_by([&] { advance_address(file.c_str()); });
        EXPECT_EQ(read_file(file), "0604 03 000101 ");
        struct stat st;
        ASSERT_EQ(stat(file.c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 07777, c.mode);
        if (root) {
            EXPECT_EQ(st.st_uid, c.owner);
            EXPECT_EQ(st.st_gid, c.group);
        }
    }
}

// Ways a rewrite can fail; each must leave the old file whole.
enum obstacle { DISK_FULL, DIRECTORY_READ_ONLY };

struct failed_rewrite_case {
    const char* name;
    obstacle what;
    std::string step_output;  // what the step shows after its " Next BT ADD" line
};

TEST_F(address_file, failed_rewrite_keeps_the_old_file)
{
    const failed_rewrite_case table[] = {
        {"full disk", DISK_FULL, std::string(HEADING) + WRITE_ERROR},
        {"read-only directory", DIRECTORY_READ_ONLY, UPDATE_ERROR},
    };
    for (const failed_rewrite_case& c : table) {
        SCOPED_TRACE(c.name);
        reset_state();
        load("0604 03 000100 ");
        auto step_and_reserve = [&] {
            advance_address(file.c_str());
            EXPECT_EQ(shown_address(), "0604 03 000101");  // the address in memory advances all the same
            reserve_address(file.c_str());
            return 0;
        };
        std::string out = c.what == DIRECTORY_READ_ONLY ? run_unprivileged(dir.path, 0555, step_and_reserve).output
                                                        : printed_on_full_disk(step_and_reserve);
        EXPECT_EQ(out, next_line("0604 03 000101") + c.step_output + WRITE_ERROR);
        EXPECT_EQ(read_file(file), "0604 03 000100 ");
        EXPECT_EQ(info_file, nullptr);
        EXPECT_EQ(entries_starting(dir.path, "info.ini."), 0) << "a copy that was begun is gone";
    }
}

TEST_F(address_file, one_holder_of_the_lock_at_a_time)
{
    os_file_lock* first = nullptr;
    EXPECT_EQ(printed_by([&] { first = lock_address_file(file.c_str()); }), "");
    ASSERT_NE(first, nullptr);
    EXPECT_TRUE(exists(dir / "info.ini.lock"));
    os_file_lock* second = nullptr;
    EXPECT_EQ(printed_by([&] { second = lock_address_file(file.c_str()); }),
              " Error !!!! \"info.ini\" is used by another station. \n\n");
    EXPECT_EQ(second, nullptr);
    unlock_address_file(first);
    second = lock_address_file(file.c_str());
    EXPECT_NE(second, nullptr);
    unlock_address_file(second);

    temp_dir other;
    ASSERT_EQ(mkdir((other / "info.ini.lock").c_str(), 0755), 0);
    EXPECT_EQ(printed_by([&] { EXPECT_EQ(lock_address_file((other / "info.ini").c_str()), nullptr); }),
              " Error !!!! Can't create \"info.ini.lock\" file. \n\n");
}

}  // namespace
