// The gang knows its units: an open that fails is not an unplug, the page leaves the slots
// their descriptors, a worker that finds no unit leaves its slot looking, and the unit a slot
// programmed good, back on it, is not programmed again. `pelmo4rix gang` as a real process,
// virtual units on their own ports, checked in the event lines, the record, the address
// file and each unit's frame log.
#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>

#include "common/exit_codes.h"
#include "link/frames.h"
#include "support/gang_process.h"
#include "support/http_client.h"
#include "support/json.h"
#include "support/pg_server.h"
#include "support/session.h"
#include "support/unit_fixture.h"

namespace {

class known_test : public unit_test {
protected:
    temp_dir cwd;
    gang_process gang;

    // The record's unit lines, without the header.
    size_t record_lines() { return csv_rows(read_file(cwd / "production.csv")).size() - 1; }

    // Lets the gang look at `unit` a few more times, then ends it as Ctrl+C does.
    void look_more_then_stop(vunit* unit)
    {
        ASSERT_TRUE(took_more_frames(unit, CMD_PROBE, frames_of_kind(unit, CMD_PROBE), 3)) << "the gang looks on";
        kill(gang.pid, SIGINT);
        ASSERT_EQ(gang.finish(), 0) << gang.output;
    }
};

// The first port as `running`'s page shows it once its unit has ended good (the status is
// renewed with the table, a moment after the event line), or null after 30 s.
json first_port_when_good(gang_process& running)
{
    const std::string head = "gang page ";
    if (!running.wait_for(head + "http://", 10000) || !running.wait_for("\n", 10000))
        return json();
    const size_t at = running.output.find(head) + head.size();
    const int port = url_port(running.output.substr(at, running.output.find('\n', at) - at));
    for (int tries = 0; tries < 300; tries++, usleep(100000)) {
        json s = parse_json(http_get(port, "/api/status").body);
        if (s.is_object() && s["ports"].size() == 1 && s["ports"][0]["state"] == "good")
            return s["ports"][0];
    }
    return json();
}

// Frames that erase or write the unit's flash.
int frames_writing(vunit* unit)
{
    int n = 0;
    for (int kind : {CMD_ERASE_FLASH, CMD_WRITE_SECTOR, CMD_WRITE_BT_INFO})
        n += frames_of_kind(unit, kind);
    return n;
}

// Ways a port that is there can't be opened for a while.
enum refusal { OUT_OF_DESCRIPTORS, HELD_BY_ANOTHER_PROGRAM };

struct refusal_case {
    refusal how;
    const char* fault;  // the system's words that the gang shows
};

// While it lives, `gang_pid` can't open a port: its descriptor limit lowered under the
// descriptors it holds (EMFILE), or the port locked by this test (EBUSY).
class refused_port {
public:
    refused_port(refusal how, pid_t gang_pid, const std::string& port_path) : how_(how), pid_(gang_pid)
    {
        if (how == OUT_OF_DESCRIPTORS) {
            rlimit low = {3, 0};
            EXPECT_EQ(prlimit(pid_, RLIMIT_NOFILE, nullptr, &old_), 0);
            low.rlim_max = old_.rlim_max;
            EXPECT_EQ(prlimit(pid_, RLIMIT_NOFILE, &low, nullptr), 0);
        } else {
            fd_ = open(port_path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
            EXPECT_GE(fd_, 0);
            EXPECT_EQ(flock(fd_, LOCK_EX | LOCK_NB), 0);
        }
    }
    ~refused_port()
    {
        if (how_ == OUT_OF_DESCRIPTORS)
            prlimit(pid_, RLIMIT_NOFILE, &old_, nullptr);
        else if (fd_ >= 0)
            close(fd_);
    }

private:
    refusal how_;
    pid_t pid_;
    rlimit old_ = {};
    int fd_ = -1;
};

class refused_open_test : public known_test, public testing::WithParamInterface<refusal_case> {};

// A unit programmed good, then its port can't be opened for a while: the slot shows the fault
// and keeps its unit; once the port opens again the unit is not programmed a second time.
TEST_P(refused_open_test, IsNotAnUnplug)
{
    vunit* unit = start_unit({}, "COM7");
    gang.start({"--ports", "COM7", "--units", "2"}, cwd.path);
    ASSERT_TRUE(gang.wait_for("COM7 " + address_text(0x100) + " good")) << gang.output;
    const int written = frames_writing(unit);
    {
        refused_port refused(GetParam().how, gang.pid, dev / "COM7");
        ASSERT_TRUE(gang.wait_for(std::string("COM7 port fault: can't open it (") + GetParam().fault + "), trying again",
                                  10000))
            << gang.output;
        gang.read_for(600);  // more looks that fail alike: one event for the fault
    }
    ASSERT_TRUE(gang.wait_for("COM7 port opens again", 10000)) << gang.output;
    look_more_then_stop(unit);

    EXPECT_EQ(gang.count("port fault"), 1) << gang.output;
    EXPECT_EQ(gang.count("unit gone"), 0) << gang.output;
    EXPECT_EQ(gang.count(" start, worker "), 1) << gang.output;
    EXPECT_EQ(frames_writing(unit), written) << "nothing written to the unit again";
    EXPECT_EQ(record_lines(), 1u);
    EXPECT_EQ(read_file(cwd / "info.ini"), address_file_line(0x101)) << "one address spent";
}

INSTANTIATE_TEST_SUITE_P(Ports, refused_open_test,
                         testing::Values(refusal_case{OUT_OF_DESCRIPTORS, "Too many open files"},
                                         refusal_case{HELD_BY_ANOTHER_PROGRAM, "Device or resource busy"}),
                         [](const testing::TestParamInfo<refusal_case>& info) {
                             return info.param.how == OUT_OF_DESCRIPTORS ? "OutOfDescriptors" : "HeldByAnotherProgram";
                         });

// The unit back on its slot: the same flash (its address and the image), or with one image
// sector changed (a repair, a worn part).
struct back_case {
    const char* name;
    bool sector_changed;
};

class unit_back_test : public known_test, public testing::WithParamInterface<back_case> {};

// A unit programmed good is unplugged and, once the gang has seen it go, plugged back on its
// slot at once (a hub's reset, a loose cable): intact, it is
// shown good (already) with no erase or write, no new address and no second record; with
// its image changed it is programmed again.
TEST_P(unit_back_test, IsKnownByWhatItHolds)
{
    vunit* first = start_unit({}, "COM7");
    gang.start({"--ports", "COM7", "--units", "2"}, cwd.path);
    ASSERT_TRUE(gang.wait_for("COM7 " + address_text(0x100) + " good")) << gang.output;
    std::vector<uint8_t> flash = vunit_flash(first);
    if (GetParam().sector_changed)
        flash[5 * 4096 + 17] ^= 0x01;
    write_file(cwd / "flash.bin", std::string(flash.begin(), flash.end()));
    vunit_unplug(first);
    ASSERT_TRUE(gang.wait_for("COM7 unit gone", 10000)) << gang.output;
    stop_unit(first);
    vunit* back = start_unit({"--flash-in", cwd / "flash.bin"}, "COM7");

    if (!GetParam().sector_changed) {
        ASSERT_TRUE(gang.wait_for("COM7 " + address_text(0x100) + " good (already)", 20000)) << gang.output;
        look_more_then_stop(back);
        EXPECT_EQ(frames_writing(back), 0) << "no erase, no write";
        EXPECT_EQ(frames_of_kind(back, CMD_READ_BT_INFO), 1) << "its address read once";
        EXPECT_EQ(frames_of_kind(back, CMD_VERIFY_FLASH), 1) << "its checksum asked once";
        EXPECT_EQ(gang.count(" start, worker "), 1) << gang.output;
        EXPECT_EQ(record_lines(), 1u);
        EXPECT_EQ(read_file(cwd / "info.ini"), address_file_line(0x101)) << "no new address";
        EXPECT_TRUE(holds_address(back, address_text(0x100)));
    } else {
        ASSERT_EQ(gang.finish(), 0) << gang.output;
        EXPECT_EQ(gang.count("good (already)"), 0) << gang.output;
        EXPECT_TRUE(holds_image(back));
        EXPECT_TRUE(holds_address(back, address_text(0x101)));
        EXPECT_EQ(record_lines(), 2u);
    }
}

INSTANTIATE_TEST_SUITE_P(Slot, unit_back_test,
                         testing::Values(back_case{"Intact", false}, back_case{"WithAChangedSector", true}),
                         [](const testing::TestParamInfo<back_case>& info) { return info.param.name; });

// A unit back for re-work, holding the address a first gang gave it, and the record's lines
// for that address before the second gang: each of the first unit's line with these results.
// The second gang's page shows whether the address was kept.
struct rework_case {
    const char* name;
    std::vector<std::string> results;
    const char* option;
    const char* refusal;  // why the address is not kept; empty: kept
};

class rework_test : public known_test, public testing::WithParamInterface<rework_case> {};

// The record with the header and one line of `first` per result, as `results` says.
std::string record_with(const std::vector<std::vector<std::string>>& rows, const std::vector<std::string>& results)
{
    auto line = [](std::vector<std::string> fields) {
        std::string text;
        for (const std::string& f : fields)
            text += (text.empty() ? "" : ",") + f;
        return text + "\n";
    };
    std::string text = line(rows[0]);
    for (const std::string& result : results) {
        std::vector<std::string> fields = rows[1];
        fields[5] = result;
        text += line(fields);
    }
    return text;
}

TEST_P(rework_test, KeepsAKnownAddressOnTheAddressFile)
{
    vunit* first = start_unit({}, "COM7");
    gang.start({"--ports", "COM7", "--units", "1"}, cwd.path);
    ASSERT_EQ(gang.finish(), 0) << gang.output;
    std::vector<uint8_t> flash = vunit_flash(first);
    flash[5 * 4096 + 17] ^= 0x01;  // a worn sector: the unit needs programming again
    write_file(cwd / "flash.bin", std::string(flash.begin(), flash.end()));
    write_file(cwd / "production.csv", record_with(csv_rows(read_file(cwd / "production.csv")), GetParam().results));
    stop_unit(first);
    vunit* back = start_unit({"--flash-in", cwd / "flash.bin"}, "COM7");

    gang_process rework;
    rework.start({"--ports", "COM7", "--http", "127.0.0.1:0", GetParam().option}, cwd.path);
    const bool kept = *GetParam().refusal == 0;
    json shown = first_port_when_good(rework);
    ASSERT_TRUE(shown.is_object()) << rework.output;
    EXPECT_EQ(shown["kept"], kept) << shown.dump();
    kill(rework.pid, SIGINT);
    ASSERT_EQ(rework.finish(), 0) << rework.output;
    const auto rows = csv_rows(read_file(cwd / "production.csv"));
    EXPECT_TRUE(holds_image(back));
    if (kept) {
        EXPECT_TRUE(rework.wait_for("COM7 " + address_text(0x100) + " start, worker")) << rework.output;
        EXPECT_TRUE(rework.wait_for(", address kept\n")) << rework.output;
        EXPECT_TRUE(rework.wait_for("COM7 " + address_text(0x100) + " good, kept")) << rework.output;
        EXPECT_TRUE(holds_address(back, address_text(0x100)));
        EXPECT_EQ(rows.back()[5], "kept");
        EXPECT_EQ(read_file(cwd / "info.ini"), address_file_line(0x101)) << "nothing spent";
    } else {
        EXPECT_TRUE(rework.wait_for("COM7 " + address_text(0x100) + " not kept: " + GetParam().refusal +
                                    "; new address " + address_text(0x101)))
            << rework.output;
        EXPECT_TRUE(holds_address(back, address_text(0x101)));
        EXPECT_EQ(rows.back()[5], "good");
        EXPECT_EQ(read_file(cwd / "info.ini"), address_file_line(0x102));
    }
    EXPECT_EQ(rows.size(), GetParam().results.size() + 2);
}

INSTANTIATE_TEST_SUITE_P(
    Record, rework_test,
    testing::Values(rework_case{"GoodOnce", {"good"}, "--keep-known-address", ""},
                    rework_case{"GoodOnceWithOnlyChanged", {"good"}, "--only-changed", ""},
                    rework_case{"FailedAfterItsAddressWasWritten", {"failed"}, "--keep-known-address", ""},
                    rework_case{"KeptAndFailedOnReworkSince", {"good", "kept", "failed"}, "--keep-known-address", ""},
                    rework_case{"NotInTheRecord", {}, "--keep-known-address", "not in the record"},
                    rework_case{"HandedOutAgain", {"failed", "good"}, "--keep-known-address",
                                "handed out again (given back after a failed unit)"}),
    [](const testing::TestParamInfo<rework_case>& info) { return info.param.name; });

// The shared pool's range for the re-work on the pool: apart from the address file's first
// address, so that an address the pool does not know is one a unit may hold.
constexpr int POOL_FIRST = 0x200, POOL_LAST = 0x209;

class pool_rework_test : public known_test {
protected:
    pg_database pool;
    std::string url;

    void SetUp() override
    {
        known_test::SetUp();
        CREATE_PG_DATABASE(pool);
        url = pool.url();
        run_result r = pelmo4rix({"pool", "init", "--pool", url, "--first", address_text(POOL_FIRST), "--last",
                                  address_text(POOL_LAST)});
        if (r.exit_code == EXIT_USAGE && r.output.find("no pool support") != std::string::npos)
            GTEST_SKIP() << r.output;
        ASSERT_EQ(r.exit_code, 0) << r.output;
    }

    run_result pelmo4rix(const std::vector<std::string>& args)
    {
        std::vector<std::string> argv = {program_path("pelmo4rix")};
        argv.insert(argv.end(), args.begin(), args.end());
        return run_program(argv, cwd.path, "", false, 30000, true);
    }

    std::string status(const std::string& key)
    {
        json status = parse_json(pelmo4rix({"pool", "status", "--pool", url, "--json"}).output);
        return status.contains(key) ? (status[key].is_string() ? status[key].get<std::string>() : status[key].dump())
                                    : "missing";
    }

    // The results of the pool's record, oldest first.
    std::vector<std::string> pool_results()
    {
        std::vector<std::string> results;
        const auto rows = csv_rows(pelmo4rix({"pool", "records", "--pool", url}).output);
        for (size_t i = 1; i < rows.size(); i++)
            results.push_back(rows[i].size() > 5 ? rows[i][5] : "?");
        return results;
    }

    // A unit on `port` of device directory `dir` holding the flash in `file`, slow to write.
    vunit* back_for_rework(const std::string& file, const std::string& dir, const std::string& port)
    {
        return start_unit({"--flash-in", file, "--device-dir", dir, "--write-ms", "4"}, port);
    }

    // The flash of a unit programmed with `address_from` (the pool or the address file), one
    // sector worn since, in cwd/flash.bin.
    void programmed_flash(const std::vector<std::string>& address_from)
    {
        vunit* first = start_unit({}, "COM7");
        gang_process programming;
        std::vector<std::string> args = {"--ports", "COM7", "--units", "1"};
        args.insert(args.end(), address_from.begin(), address_from.end());
        programming.start(args, cwd.path);
        ASSERT_EQ(programming.finish(), 0) << programming.output;
        std::vector<uint8_t> flash = vunit_flash(first);
        flash[5 * 4096 + 17] ^= 0x01;
        write_file(cwd / "flash.bin", std::string(flash.begin(), flash.end()));
        stop_unit(first);
    }
};

// A unit programmed from the pool keeps its address on re-work: the pool's next address and
// its free count stay, the record says kept; a unit holding an address the pool never handed
// out gets a new one, and the event line says why.
TEST_F(pool_rework_test, KeepsOnlyWhatThePoolHandedOut)
{
    struct {
        const char* name;
        bool from_pool;
    } cases[] = {{"known", true}, {"unknown", false}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const int held = c.from_pool ? POOL_FIRST : 0x100;
        programmed_flash(c.from_pool ? std::vector<std::string>{"--pool", url} : std::vector<std::string>{});
        const std::string next = status("next"), free = status("free");
        vunit* back = back_for_rework(cwd / "flash.bin", dev.path, "COM7");
        gang_process rework;
        rework.start({"--ports", "COM7", "--units", "1", "--pool", url, "--journal", cwd / "journal",
                      "--keep-known-address"},
                     cwd.path);
        ASSERT_EQ(rework.finish(), 0) << rework.output;
        EXPECT_TRUE(holds_image(back));
        if (c.from_pool) {
            EXPECT_TRUE(rework.wait_for("COM7 " + address_text(held) + " good, kept")) << rework.output;
            EXPECT_TRUE(holds_address(back, address_text(held)));
            EXPECT_EQ(status("next"), next);
            EXPECT_EQ(status("free"), free) << "nothing spent";
            EXPECT_EQ(status("good"), "1");
            EXPECT_EQ(pool_results(), (std::vector<std::string>{"good", "kept"}));
        } else {
            EXPECT_TRUE(rework.wait_for("COM7 " + address_text(held) +
                                        " not kept: the pool does not know it; new address " + next))
                << rework.output;
            EXPECT_TRUE(holds_address(back, next));
            EXPECT_EQ(pool_results().back(), "good");
        }
        stop_unit(back);
    }
}

// Two stations with a unit each holding one address (a clone of the other's flash): while
// the first re-works its unit with the address kept, the second can't keep it too.
TEST_F(pool_rework_test, TwoStationsCantKeepOneAddress)
{
    programmed_flash({"--pool", url});
    temp_dir dev_b, cwd_b;
    vunit* a = start_unit({"--flash-in", cwd / "flash.bin", "--write-ms", "20"}, "COM7");
    vunit* b = back_for_rework(cwd / "flash.bin", dev_b.path, "COM8");
    gang_process station_a, station_b;
    station_a.start({"--ports", "COM7", "--units", "1", "--pool", url, "--station", "A", "--journal", cwd / "journal",
                     "--keep-known-address"},
                    cwd.path);
    ASSERT_TRUE(station_a.wait_for(", address kept")) << station_a.output;
    station_b.start({"--ports", "COM8", "--units", "1", "--pool", url, "--station", "B", "--keep-known-address"},
                    cwd_b.path, dev_b.path);
    ASSERT_EQ(station_b.finish(), 0) << station_b.output;
    ASSERT_EQ(station_a.finish(), 0) << station_a.output;
    EXPECT_TRUE(station_b.wait_for("COM8 " + address_text(POOL_FIRST) + " not kept: station A is programming a unit "
                                   "with it; new address " + address_text(POOL_FIRST + 1)))
        << station_b.output;
    EXPECT_TRUE(holds_address(a, address_text(POOL_FIRST)));
    EXPECT_TRUE(holds_address(b, address_text(POOL_FIRST + 1)));
    std::vector<std::string> results = pool_results();
    std::sort(results.begin(), results.end());
    EXPECT_EQ(results, (std::vector<std::string>{"good", "good", "kept"}));
}

// The sockets that process `pid` holds open.
int sockets_of(pid_t pid)
{
    const std::string dir = "/proc/" + std::to_string(pid) + "/fd";
    int n = 0;
    DIR* fds = opendir(dir.c_str());
    for (dirent* e; fds && (e = readdir(fds));) {
        char target[64] = {};
        if (readlink((dir + "/" + e->d_name).c_str(), target, sizeof target - 1) > 0 && strncmp(target, "socket:", 7) == 0)
            n++;
    }
    if (fds)
        closedir(fds);
    return n;
}

// With few descriptors the page holds only what the slots' reserve leaves it, and the unit
// on the slot is programmed while every connection the page would take is held.
TEST_F(known_test, ThePageLeavesTheSlotsTheirDescriptors)
{
    gang.descriptor_limit = 32;  // one slot's reserve of 28 leaves the page 4 connections
    gang.start({"--ports", "COM7", "--units", "1", "--http", "127.0.0.1:0"}, cwd.path);
    ASSERT_TRUE(gang.wait_for("gang page http://", 10000)) << gang.output;
    ASSERT_TRUE(gang.wait_for("\n", 10000));
    const size_t at = gang.output.find("gang page ") + strlen("gang page ");
    const int port = url_port(gang.output.substr(at, gang.output.find('\n', at) - at));
    ASSERT_GT(port, 0) << gang.output;

    const int listening = sockets_of(gang.pid);
    std::vector<int> connections;
    for (int i = 0; i < 8; i++)  // as many as one address may have
        connections.push_back(http_connect(port));
    // Bounded waits: until the server has taken in 4, then a while more for any beyond them.
    for (int waited = 0; sockets_of(gang.pid) - listening < 4 && waited < 10000; waited += 50)
        gang.read_for(50);
    gang.read_for(500);
    EXPECT_EQ(sockets_of(gang.pid) - listening, 4) << "connections the page holds";

    vunit* unit = start_unit({}, "COM7");
    ASSERT_EQ(gang.finish(), 0) << gang.output;
    EXPECT_TRUE(holds_image(unit));
    for (int fd : connections)
        close(fd);
}

// The gang's look found the unit, but its worker, a moment later, gets no answer (its two
// probes go unanswered, as when the port was still held): no unit was started, so there is no
// record line and the address goes back; the port is looked at again and the unit programmed.
TEST_F(known_test, AWorkerThatFindsNoUnitLeavesTheSlotLooking)
{
    // The look's probe and its loader's probe are answered; the worker's probe and the one
    // after its restart are not (each sent twice).
    vunit* unit = start_unit({"--fault", "no-reply:1:4:2"}, "COM7");
    gang.start({"--ports", "COM7", "--units", "1"}, cwd.path);
    ASSERT_EQ(gang.finish(), 0) << gang.output;
    ASSERT_TRUE(gang.wait_for("COM7 " + address_text(0x100) + " not started: the worker found no unit")) << gang.output;
    ASSERT_TRUE(gang.wait_for("COM7 " + address_text(0x100) + " good")) << gang.output;
    EXPECT_TRUE(holds_image(unit));
    EXPECT_TRUE(holds_address(unit, address_text(0x100))) << "its address given back and taken again";
    EXPECT_EQ(record_lines(), 1u);
}

// A unit that answers the look but never its worker, round after round: the slot is
// quarantined after as many rounds as --quarantine says, rather than started without end.
TEST_F(known_test, AUnitThatNeverAnswersItsWorkerIsQuarantined)
{
    // Each round the look's two probes are answered and the worker's four are not; a later
    // fault counts only the probes that the earlier ones let through.
    std::vector<std::string> faults;
    for (int round = 1; round <= 5; round++)
        faults.insert(faults.end(), {"--fault", "no-reply:1:4:" + std::to_string(2 * round)});
    vunit* unit = start_unit(faults, "COM7");
    gang.start({"--ports", "COM7", "--quarantine", "2"}, cwd.path);
    ASSERT_TRUE(gang.wait_for("COM7 quarantined after 2 workers in a row found no unit: check the fixture "
                              "(no more units on it in this run)",
                              30000))
        << gang.output;
    kill(gang.pid, SIGINT);
    ASSERT_EQ(gang.finish(), 0) << gang.output;
    EXPECT_EQ(gang.count(" start, worker "), 2) << gang.output;
    EXPECT_EQ(gang.count(" not started: "), 2) << gang.output;
    EXPECT_EQ(frames_writing(unit), 0);
    EXPECT_LE(csv_rows(read_file(cwd / "production.csv")).size(), 1u) << "no unit recorded";
    EXPECT_EQ(read_file(cwd / "info.ini"), address_file_line(0x100)) << "no address spent";
}

}  // namespace
