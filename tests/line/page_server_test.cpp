// The gang's page server against clients that are not browsers: requests it must refuse, a
// second gang on its port, and hostile clients all at once while the gang programs a unit.
// Every client is on loopback; every loop is bounded in count and time.
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <atomic>
#include <fstream>
#include <thread>

#include <nlohmann/json.hpp>

#include "common/exit_codes.h"

#include "support/gang_process.h"
#include "support/http_client.h"
#include "support/unit_fixture.h"

namespace {

using nlohmann::json;
using std::chrono::milliseconds;
using std::chrono::steady_clock;

// A second, doubled for a busy machine: an answer or an end that waits for a client takes far
// longer (or never comes).
constexpr int PROMPT_MS = 2000;
// A connection a client left behind is reaped when the page reads its end, or at the latest by
// the page's idle timeout (5 s); until then the client's address may be at its limit.
constexpr int REAPED_MS = 10000;
constexpr long GANG_MEMORY_MAX_KB = 64 * 1024;

class page_server_test : public unit_test {
protected:
    temp_dir cwd;
    gang_process gang;
    int port = 0;

    void SetUp() override
    {
        unit_test::SetUp();
        write_file(cwd.path + "/info.ini", "0604 03 000200 ");
    }

    void start_gang(std::vector<std::string> args, const std::string& http = "127.0.0.1:0")
    {
        args.insert(args.end(), {"--http", http});
        gang.start(args, cwd.path);
        const std::string head = "gang page http://";
        ASSERT_TRUE(gang.wait_for(head, 10000)) << gang.output;
        size_t at = gang.output.find(head);
        port = url_port(gang.output.substr(at, gang.output.find('\n', at) - at));
        ASSERT_GT(port, 0) << gang.output;
    }

    json status()
    {
        http_answer answer = http_get(port, "/api/status");
        EXPECT_EQ(answer.status, 200);
        return json::parse(answer.body, nullptr, false);  // discarded on invalid UTF-8 too
    }

    // The most memory the gang has held so far, in KB (0 when unknown).
    long gang_peak_kb() const
    {
        std::ifstream file("/proc/" + std::to_string(gang.pid) + "/status");
        std::string word;
        while (file >> word)
            if (word == "VmHWM:") {
                long kb = 0;
                file >> kb;
                return kb;
            }
        return 0;
    }
};

TEST_F(page_server_test, AnswersOnlyReadingRequestsUnderItsOwnNames)
{
    start_gang({"--ports", "COM7", "--http-host", "line-7.factory"});
    const std::string at = ":" + std::to_string(port);
    struct request_case {
        const char* what;
        std::string request;
        int status;
    } cases[] = {
        {"the status", "GET /api/status HTTP/1.1\r\nHost: 127.0.0.1" + at + "\r\n\r\n", 200},
        {"the page by localhost", "GET / HTTP/1.1\r\nHost: localhost" + at + "\r\n\r\n", 200},
        {"an IPv6 address", "GET / HTTP/1.1\r\nHost: [::1]" + at + "\r\n\r\n", 200},
        {"a name given with --http-host", "GET / HTTP/1.1\r\nHost: LINE-7.factory" + at + "\r\n\r\n", 200},
        {"HEAD", "HEAD /api/status HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n", 200},
        {"a rebound name", "GET /api/status HTTP/1.1\r\nHost: attacker.example" + at + "\r\n\r\n", 421},
        {"a name that ends like one given", "GET / HTTP/1.1\r\nHost: x.line-7.factory\r\n\r\n", 421},
        {"a POST", "POST /api/status HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Length: 2\r\n\r\n{}", 405},
        {"a PUT", "PUT / HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Length: 0\r\n\r\n", 405},
        {"a GET with a body", "GET / HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Length: 5\r\n\r\nhello", 413},
        {"a GET with a chunked body", "GET / HTTP/1.1\r\nHost: 127.0.0.1\r\nTransfer-Encoding: chunked\r\n\r\n1\r\nx\r\n0\r\n\r\n", 413},
        {"another path", "GET /etc/passwd HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n", 404},
        {"a head too large", "GET / HTTP/1.1\r\nHost: 127.0.0.1\r\nX-Big: " + std::string(40000, 'x') + "\r\n\r\n", 431},
    };
    for (const request_case& c : cases) {
        http_answer answer = http_exchange(port, c.request);
        EXPECT_EQ(answer.status, c.status) << c.what;
        if (c.status == 200) {
            EXPECT_EQ(answer.headers["x-content-type-options"], "nosniff") << c.what;
        }
    }
    EXPECT_TRUE(http_exchange(port, cases[4].request).body.empty()) << "HEAD has no body";

    // The page's policy: its own inline code only, by hash, and no frame around it.
    http_answer page = http_get(port, "/");
    const std::string policy = page.headers["content-security-policy"];
    EXPECT_EQ(policy.find("unsafe-inline"), std::string::npos) << policy;
    EXPECT_NE(policy.find("script-src 'sha256-"), std::string::npos) << policy;
    EXPECT_NE(policy.find("frame-ancestors 'none'"), std::string::npos) << policy;
    EXPECT_EQ(page.headers["content-type"], "text/html; charset=utf-8");

    kill(gang.pid, SIGINT);
    EXPECT_EQ(gang.finish(), 0) << gang.output;
}

TEST_F(page_server_test, ASecondGangOnTheSamePortEndsWith31)
{
    start_gang({"--ports", "COM7"});
    temp_dir other;
    write_file(other.path + "/info.ini", "0604 03 000200 ");
    gang_process second;
    second.start({"--ports", "COM8", "--http", "127.0.0.1:" + std::to_string(port)}, other.path);
    EXPECT_EQ(second.finish(10000), EXIT_NO_PAGE) << second.output;
    EXPECT_EQ(status()["ports"][0]["port"], "COM7") << "the first gang still answers alone";
    kill(gang.pid, SIGINT);
    EXPECT_EQ(gang.finish(), 0) << gang.output;
}

TEST_F(page_server_test, WithoutATerminalThePageHasTheGangsNoticesInValidUtf8)
{
    start_unit({"--write-ms", "16"}, "COM7");  // seconds of writing: at work when the stop comes
    const std::string odd_port = "COM\xff\xfe" "8";  // no such port: only its name matters
    start_gang({"--ports", "COM7," + odd_port});
    ASSERT_TRUE(gang.wait_for("COM7 0604:03:000200 start, worker", 10000)) << gang.output;
    kill(gang.pid, SIGINT);
    const std::string ending = "ending after the units in progress (Ctrl+C again stops them)";
    json s;
    for (int asked = 0; asked < 50 && !(s.is_object() && s["notice"] == ending); asked++) {
        usleep(100000);
        s = status();
    }
    ASSERT_TRUE(s.is_object()) << "not valid JSON (UTF-8)";
    EXPECT_EQ(s["notice"], ending);
    EXPECT_EQ(s["ports"][1]["port"], "COM\xef\xbf\xbd\xef\xbf\xbd" "8") << "each invalid byte a U+FFFD";
    EXPECT_EQ(gang.finish(), 0) << gang.output;
}

// Hostile clients of four kinds on threads of their own until end(): 1,000 connections that
// say nothing, 20 that trickle header lines, 1 GB chunked POSTs and GETs of 50,000 headers.
class abuse {
public:
    static constexpr int IDLE = 1000, SLOW = 20, HEADERS = 50000;
    static constexpr long long POST_BYTES = 1LL << 30;
    static constexpr auto LONGEST = std::chrono::seconds(120);  // stops by itself after this

    explicit abuse(int port) : port_(port)
    {
        threads_.emplace_back([this] { hold_idle(); });
        threads_.emplace_back([this] { trickle(); });
        threads_.emplace_back([this] { repeat([this](int fd) { big_post(fd); }); });
        threads_.emplace_back([this] { repeat([this](int fd) { many_headers(fd); }); });
    }
    ~abuse() { end(); }

    // Waits (at most 10 s) until every kind of client has made its first move.
    bool under_way() const
    {
        for (int waited = 0; moving_ < static_cast<int>(threads_.size()); waited += 10) {
            if (waited >= 10000)
                return false;
            usleep(10000);
        }
        return true;
    }

    void end()
    {
        stop_ = true;
        for (std::thread& t : threads_)
            if (t.joinable())
                t.join();
    }

private:
    int port_;
    std::atomic<bool> stop_{false};
    std::atomic<int> moving_{0};  // kinds of client that have made their first move
    std::vector<std::thread> threads_;
    const steady_clock::time_point until_ = steady_clock::now() + LONGEST;

    bool going() const { return !stop_ && steady_clock::now() < until_; }

    // A connection whose sends give up after a second: a server that stops reading can't
    // hold a thread of the test.
    int connect_bounded() const
    {
        int fd = http_connect(port_);
        timeval second = {1, 0};
        if (fd >= 0)
            setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &second, sizeof second);
        return fd;
    }

    void sleep_while_going(int ms)
    {
        for (int slept = 0; slept < ms && going(); slept += 10)
            usleep(10000);
    }

    void hold_idle()
    {
        std::vector<int> held;
        for (int i = 0; i < IDLE && going(); i++) {
            int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
            sockaddr_in address = {};
            address.sin_family = AF_INET;
            address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            address.sin_port = htons(static_cast<uint16_t>(port_));
            connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);  // in progress is enough
            held.push_back(fd);
        }
        moving_++;
        sleep_while_going(LONGEST.count() * 1000);
        for (int fd : held)
            close(fd);
    }

    void trickle()
    {
        std::vector<int> slow;
        for (int i = 0; i < SLOW; i++) {
            int fd = connect_bounded();
            if (fd >= 0 && http_send(fd, "GET /api/status HTTP/1.1\r\nHost: 127.0.0.1\r\n"))
                slow.push_back(fd);
        }
        moving_++;
        for (int line = 0; going(); line++) {
            for (int fd : slow)
                http_send(fd, "X-Slow-" + std::to_string(line) + ": x\r\n");
            sleep_while_going(500);
        }
        for (int fd : slow)
            close(fd);
    }

    template <class Send> void repeat(Send send_one)
    {
        for (bool moved = false; going();) {
            int fd = connect_bounded();
            if (fd < 0) {
                sleep_while_going(50);
                continue;
            }
            if (!moved) {
                moving_++;
                moved = true;
            }
            send_one(fd);
            close(fd);
        }
    }

    void big_post(int fd)
    {
        const std::string chunk = "10000\r\n" + std::string(0x10000, 'p') + "\r\n";
        if (!http_send(fd, "POST /api/status HTTP/1.1\r\nHost: 127.0.0.1\r\nTransfer-Encoding: chunked\r\n\r\n"))
            return;
        for (long long sent = 0; sent < POST_BYTES && going() && http_send(fd, chunk); sent += 0x10000) {
        }
    }

    void many_headers(int fd)
    {
        std::string block;
        if (!http_send(fd, "GET /api/status HTTP/1.1\r\nHost: 127.0.0.1\r\n"))
            return;
        for (int i = 0; i < HEADERS && going(); i++)
            if (!http_send(fd, "X-Header-" + std::to_string(i) + ": " + std::string(100, 'h') + "\r\n"))
                return;
        http_send(fd, "\r\n");
    }
};

TEST_F(page_server_test, HostileClientsNeitherSlowTheGangNorHoldItsEnd)
{
    start_gang({"--ports", "COM7"});
    {
        abuse clients(port);
        ASSERT_TRUE(clients.under_way());
        vunit* unit = start_unit({}, "COM7");
        ASSERT_TRUE(gang.wait_for("COM7 0604:03:000200 good", 60000)) << gang.output;
        EXPECT_TRUE(holds_address(unit, "0604:03:000200"));
        EXPECT_LT(gang_peak_kb(), GANG_MEMORY_MAX_KB);
    }
    // Once the clients are gone the page answers again, and shows the unit as soon as the gang
    // publishes its next redraw, a moment after the unit's event line.
    const std::string status_request = "GET /api/status HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n";
    const auto gone = steady_clock::now();
    http_answer answer;
    json s;
    while (!(s.is_object() && s["totals"]["good"] == 1) && steady_clock::now() - gone < milliseconds(REAPED_MS)) {
        usleep(20000);
        answer = http_exchange(port, status_request, PROMPT_MS);
        s = answer.status == 200 ? json::parse(answer.body, nullptr, false) : json();
    }
    ASSERT_EQ(answer.status, 200);
    ASSERT_TRUE(s.is_object()) << answer.body;
    EXPECT_EQ(s["totals"]["good"], 1) << answer.body;

    // Stopped while they are at it, the gang ends promptly.
    abuse clients(port);
    ASSERT_TRUE(clients.under_way());
    EXPECT_LT(gang_peak_kb(), GANG_MEMORY_MAX_KB);
    kill(gang.pid, SIGINT);
    EXPECT_EQ(gang.finish(PROMPT_MS), 0) << gang.output;
}

}  // namespace
