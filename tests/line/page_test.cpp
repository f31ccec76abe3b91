// The gang's page in a real headless Chromium, and its JSON status, against a gang with
// virtual units. What the browser shows is read from its DOM; the status is parsed as JSON.
#include <chrono>
#include <map>

#include <nlohmann/json.hpp>

#include "link/frames.h"
#include "support/browser.h"
#include "support/gang_process.h"
#include "support/http_client.h"
#include "support/unit_fixture.h"

namespace {

using nlohmann::json;

// Each tile as "PORT state word", in the page's order.
constexpr char TILES[] =
    "[...document.querySelectorAll('.tile')].map(t => t.querySelector('.port').textContent + ' ' + "
    "t.querySelector('.state').textContent).join(', ')";
constexpr char TOTALS[] =
    "(v => [v[0], v[1], v[2], v[4]].join(' '))([...document.querySelectorAll('#totals .value')].map(e => e.textContent))";

class page_test : public unit_test {
protected:
    temp_dir cwd;
    gang_process gang;
    std::string url;  // the page, as the gang printed it

    void SetUp() override
    {
        unit_test::SetUp();
        if (browser::program().empty())
            GTEST_SKIP() << "chromium is not installed (Debian package chromium): the page is not tested";
    }

    // Starts the gang with its page on a free port of loopback.
    void start_gang(std::vector<std::string> args)
    {
        args.insert(args.end(), {"--http", "127.0.0.1:0"});
        gang.start(args, cwd.path);
        const std::string head = "gang page http://127.0.0.1:";
        ASSERT_TRUE(gang.wait_for(head, 10000)) << gang.output;
        size_t at = gang.output.find(head) + strlen("gang page ");
        url = gang.output.substr(at, gang.output.find('\n', at) - at);
    }

    json status()
    {
        http_answer reply = http_get(url_port(url), "/api/status");
        EXPECT_EQ(reply.status, 200);
        return json::parse(reply.body, nullptr, false);
    }

    void start_browser(browser& chrome)
    {
        std::string why;
        ASSERT_TRUE(chrome.start(why)) << why;
    }

    void open_page(browser& chrome)
    {
        start_browser(chrome);
        ASSERT_TRUE(chrome.open(url)) << url;
    }

    // Nothing went wrong in the browser, and it asked only the gang for anything.
    void expect_clean(const browser& chrome)
    {
        EXPECT_TRUE(chrome.errors.empty()) << ::testing::PrintToString(chrome.errors);
        ASSERT_FALSE(chrome.requested.empty());
        for (const std::string& address : chrome.requested)
            EXPECT_EQ(address.rfind(url, 0), 0u) << address << " is not from the gang at " << url;
    }
};

TEST_F(page_test, ThePageFollowsThreeUnitsUntilTheyAreGood)
{
    // The browser first: its start may take seconds that the units must not have finished in.
    browser chrome;
    start_browser(chrome);
    for (const char* port : {"COM7", "COM8", "COM9"})
        start_unit({"--write-ms", "40"}, port);  // about 8 s of writing
    const auto started = std::chrono::steady_clock::now();
    start_gang({});
    const double named_utc = std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
    ASSERT_TRUE(chrome.open(url)) << url;
    // The units take seconds: the page first shows them at work.
    json first = chrome.wait_for(TILES, "COM7 programming, COM8 programming, COM9 programming", 10000);
    EXPECT_EQ(first, "COM7 programming, COM8 programming, COM9 programming");
    EXPECT_EQ(chrome.wait_for(TILES, "COM7 good, COM8 good, COM9 good", 180000), "COM7 good, COM8 good, COM9 good")
        << gang.output;
    // Good, failed, in progress and yield (units/hour depends on the machine).
    EXPECT_EQ(chrome.wait_for(TOTALS, "3 0 0 100%", 3000), "3 0 0 100%");
    EXPECT_EQ(chrome.evaluate("document.querySelectorAll('#records tr').length"), 4) << "a heading and three units";
    expect_clean(chrome);

    json s = status();
    const auto answered = std::chrono::steady_clock::now();
    ASSERT_TRUE(s.is_object());
    ASSERT_EQ(s["ports"].size(), 3u);
    for (const json& port : s["ports"]) {
        EXPECT_EQ(port["state"], "good") << port;
        EXPECT_EQ(port["percent"], 100) << port;
        EXPECT_EQ(port["error_code"], 0) << port;
    }
    json totals = s["totals"];
    const double per_hour = totals["units_per_hour"].get<double>();
    totals.erase("units_per_hour");
    EXPECT_EQ(totals, json({{"good", 3}, {"failed", 0}, {"in_progress", 0}, {"yield", 100.0}}));
    // Good units per hour since the gang started: it started after `started` and before it
    // named its page, and the status was made before it was answered, at its own time or
    // within the second after (the stamp has whole seconds).
    const double longest = std::chrono::duration<double>(answered - started).count();
    const double shortest = utc_seconds(s["time"].get<std::string>()) - named_utc;
    EXPECT_GE(per_hour, 3 * 3600 / longest);
    if (shortest > 0) {
        EXPECT_LE(per_hour, 3 * 3600 / shortest);
    }
    EXPECT_TRUE(s["causes"].empty());
    ASSERT_EQ(s["records"].size(), 3u);
    EXPECT_EQ(s["records"][0]["result"], "good");

    kill(gang.pid, SIGINT);
    EXPECT_EQ(gang.finish(), 0) << gang.output;
    // The gang gone, the page says since when it has not answered.
    const std::string since = "no answer from the gang since ";
    json lost = chrome.wait_for("document.getElementById('link').textContent.startsWith('" + since + "')", true, 5000);
    EXPECT_EQ(lost, true) << chrome.evaluate("document.getElementById('link').textContent");
}

// A unit left on COM8 keeps the gang probing, so the test can tell when the gang has had its
// turns to look at the quarantined COM7.
TEST_F(page_test, APortIsQuarantinedAfterThreeFailingUnits)
{
    vunit* left = start_unit({}, "COM8");
    vunit* unit = start_unit({"--fault", "bad-crc"}, "COM7");
    start_gang({"--ports", "COM7,COM8", "--attempts", "1"});
    for (int failed = 1; failed <= 3; failed++) {
        // The unit's checksum is wrong (20); on a machine too busy for the line's time-outs
        // an earlier step may fail first, which is as much a failed unit.
        ASSERT_TRUE(gang.wait_for_count(" failed error_code ", failed)) << gang.output;
        if (failed < 3) {
            vunit_unplug(unit);
            ASSERT_TRUE(gang.wait_for_count("COM7 unit gone", failed, 10000)) << gang.output;
            stop_unit(unit);
            unit = start_unit({"--fault", "bad-crc"}, "COM7");
        }
    }
    ASSERT_TRUE(gang.wait_for("COM7 quarantined after 3 failed units in a row: check the fixture")) << gang.output;
    // A good unit plugged in now is left alone: the fixture is to be checked first.
    vunit_unplug(unit);
    ASSERT_TRUE(gang.wait_for_count("COM7 unit gone", 3, 10000)) << gang.output;
    stop_unit(unit);
    vunit* fresh = start_unit({}, "COM7");
    ASSERT_TRUE(took_more_frames(left, CMD_PROBE, frames_of_kind(left, CMD_PROBE), 6)) << "the gang probes on";
    EXPECT_TRUE(vunit_frames(fresh).empty()) << "the gang looked at a unit on a quarantined port";
    gang.read_available();
    EXPECT_EQ(gang.count(" start, worker "), 4) << "three units on COM7, one on COM8\n" << gang.output;

    browser chrome;
    open_page(chrome);
    EXPECT_EQ(chrome.wait_for(TILES, "COM7 check the fixture, COM8 good", 5000), "COM7 check the fixture, COM8 good");
    EXPECT_EQ(chrome.evaluate("document.querySelector('.tile').dataset.state"), "quarantined");
    expect_clean(chrome);

    json s = status();
    ASSERT_EQ(s["ports"].size(), 2u);
    EXPECT_EQ(s["ports"][0]["state"], "quarantined");
    EXPECT_EQ(s["ports"][0]["failed_in_row"], 3);
    // Causes counted per error code; the page lists the most frequent first.
    ASSERT_FALSE(s["causes"].empty());
    int failures = 0;
    json most = s["causes"][0];
    for (const json& cause : s["causes"]) {
        failures += cause["count"].get<int>();
        if (cause["count"] > most["count"])
            most = cause;
    }
    EXPECT_EQ(failures, 3) << s["causes"];
    EXPECT_EQ(chrome.evaluate("document.querySelector('#causes td').textContent"),
              std::to_string(most["error_code"].get<int>()));
    // The causes are the failures the gang reported, whichever step failed them.
    std::map<int, std::pair<int, std::string>> reported;  // error code: count, text
    const std::string head = " failed error_code ";
    for (size_t at = gang.output.find(head); at != std::string::npos; at = gang.output.find(head, at + 1)) {
        const size_t code_at = at + head.size(), text_at = gang.output.find(": ", code_at) + 2;
        auto& cause = reported[std::stoi(gang.output.substr(code_at))];
        cause.first++;
        cause.second = gang.output.substr(text_at, gang.output.find(", attempts", text_at) - text_at);
    }
    std::map<int, std::pair<int, std::string>> listed;
    for (const json& cause : s["causes"])
        listed[cause["error_code"].get<int>()] = {cause["count"].get<int>(), cause["text"].get<std::string>()};
    EXPECT_EQ(listed, reported) << s["causes"] << "\n" << gang.output;
    EXPECT_EQ(s["totals"]["yield"], 25.0);
    kill(gang.pid, SIGINT);
    EXPECT_EQ(gang.finish(), 28) << gang.output;
}

}  // namespace
