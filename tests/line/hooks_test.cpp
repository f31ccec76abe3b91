// Other systems hear of every unit: the hook per unit, the labels and their spool, and the
// gang's metrics in Prometheus' text format. The real gang and flash with virtual units, a hook
// script that writes down what it was given, a real TCP listener on loopback as the printer,
// and /metrics read with a plain HTTP request and a strict parser of the format.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstring>
#include <map>
#include <mutex>
#include <regex>
#include <set>
#include <sstream>
#include <thread>

#include "line/metrics.h"
#include "support/fake_system.h"
#include "support/gang_process.h"
#include "support/session.h"
#include "support/unit_fixture.h"

namespace {

// Writes down what it was given, in files named by the unit's LAP: its arguments, its
// environment and its standard input; then adds the LAP to delivered.txt. The LAP named by
// HOOK_SLOW_LAP sleeps past any time-out, the one named by HOOK_FAIL_LAP fails.
const char HOOK_SCRIPT[] = R"(#!/bin/sh
lap=${PELMO4RIX_ADDRESS##*:}
[ "$lap" = "$HOOK_SLOW_LAP" ] && exec sleep 600
if [ "$lap" = "$HOOK_FAIL_LAP" ]; then echo "the MES refused $lap"; exit 1; fi
printf '%s\n' "$@" > "args-$lap"
env > "env-$lap"
cat > "json-$lap"
echo "$lap" >> delivered.txt
)";

// A label with every placeholder, the address as text and as a QR code, and braces.
const char LABEL_TEMPLATE[] =
    "^XA^FO40,40^A0N,40,40^FD{address}^FS^FO40,100^BQN,2,6^FDQA,{address_compact}^FS"
    "^FO40,300^FD{port} {station} {image_version} {time}^FS^FX {{braces}} ^XZ\n";

struct record_line {
    std::string time, port, address, result, seconds;
    int error_code, attempts;
};

std::map<std::string, std::string> environment_in(const std::string& text)
{
    std::map<std::string, std::string> variables;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        if (line.rfind("PELMO4RIX_", 0) == 0)
            variables[line.substr(0, line.find('='))] = line.substr(line.find('=') + 1);
    return variables;
}

std::string lap_of(const std::string& address)
{
    return address.substr(address.rfind(':') + 1);
}

// What the hook gets on standard input for the unit of `r`, made at `time`.
std::string expected_json(const record_line& r, const std::string& time, const std::string& station)
{
    return "{\"time\":\"" + time + "\",\"port\":\"" + r.port + "\",\"address\":\"" + r.address +
           "\",\"image_version\":\"6.05\",\"image_checksum\":\"3922BA1C\",\"result\":\"" + r.result +
           "\",\"error_code\":" + std::to_string(r.error_code) + ",\"attempts\":" + std::to_string(r.attempts) +
           ",\"seconds\":" + r.seconds + ",\"station\":\"" + station + "\",\"reservation\":null}\n";
}

// A TCP server on 127.0.0.1 that takes connections one after the other and keeps what each
// sent until it closed: a label printer's raw port.
struct printer {
    int listener = -1;
    int port = 0;
    std::atomic<bool> stop{false};
    std::thread thread;
    std::mutex lock;
    std::vector<std::string> jobs;

    explicit printer(int wanted_port = 0)
    {
        listener = socket(AF_INET, SOCK_STREAM, 0);
        int on = 1;
        setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
        sockaddr_in a = {};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        a.sin_port = htons(static_cast<uint16_t>(wanted_port));
        socklen_t size = sizeof a;
        if (bind(listener, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || listen(listener, 4) != 0 ||
            getsockname(listener, reinterpret_cast<sockaddr*>(&a), &size) != 0)
            return;
        port = ntohs(a.sin_port);
        thread = std::thread([this] { serve(); });
    }
    ~printer()
    {
        stop = true;
        if (thread.joinable())
            thread.join();
        close(listener);
    }

    void serve()
    {
        while (!stop) {
            pollfd p = {listener, POLLIN, 0};
            if (poll(&p, 1, 50) <= 0)
                continue;
            int c = accept(listener, nullptr, nullptr);
            if (c < 0)
                continue;
            std::string job;
            char chunk[4096];
            for (int waited = 0; waited < 100;) {  // at most 5 s per job
                pollfd q = {c, POLLIN, 0};
                if (poll(&q, 1, 50) <= 0) {
                    waited++;
                    continue;
                }
                ssize_t n = read(c, chunk, sizeof chunk);
                if (n <= 0)
                    break;
                job.append(chunk, static_cast<size_t>(n));
            }
            close(c);
            std::lock_guard<std::mutex> hold(lock);
            jobs.push_back(job);
        }
    }

    // Sends a job of the test's own. The jobs are taken one after the other, so once it is
    // among them, every job sent before it is too.
    void send_own_job(const std::string& job) const
    {
        int fd = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a = {};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        a.sin_port = htons(static_cast<uint16_t>(port));
        EXPECT_EQ(connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
        EXPECT_EQ(write(fd, job.data(), job.size()), static_cast<ssize_t>(job.size()));
        close(fd);
    }

    // The jobs once there are `n` of them, or after 20 s.
    std::vector<std::string> wait_for_jobs(size_t n)
    {
        for (int i = 0; i < 400; i++) {
            {
                std::lock_guard<std::mutex> hold(lock);
                if (jobs.size() >= n)
                    return jobs;
            }
            usleep(50000);
        }
        std::lock_guard<std::mutex> hold(lock);
        return jobs;
    }
};

// A port of loopback where nobody listens: connections are refused.
int refusing_port()
{
    printer closed;
    int port = closed.port;
    return port;
}

// A plain HTTP/1.1 GET to 127.0.0.1:`port`; the body, with the status line and the
// Content-Type in `head`.
std::string http_get(int port, const std::string& path, std::string& head)
{
    int s = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a = {};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(static_cast<uint16_t>(port));
    std::string reply;
    if (connect(s, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0) {
        std::string request = "GET " + path + " HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n";
        if (write(s, request.data(), request.size()) == static_cast<ssize_t>(request.size())) {
            char chunk[4096];
            for (int i = 0; i < 100; i++) {  // at most 10 s
                pollfd p = {s, POLLIN, 0};
                if (poll(&p, 1, 100) <= 0)
                    continue;
                ssize_t n = read(s, chunk, sizeof chunk);
                if (n <= 0)
                    break;
                reply.append(chunk, static_cast<size_t>(n));
            }
        }
    }
    close(s);
    size_t end = reply.find("\r\n\r\n");
    head = reply.substr(0, end);
    return end == std::string::npos ? "" : reply.substr(end + 4);
}

// --- a strict reader of Prometheus' text exposition format

struct sample {
    std::string name;
    std::map<std::string, std::string> labels;
    double value;
};
struct family {
    std::string type, help;
    std::vector<sample> samples;
};

bool valid_name(const std::string& name, bool label)
{
    static const std::regex metric("[a-zA-Z_:][a-zA-Z0-9_:]*"), label_name("[a-zA-Z_][a-zA-Z0-9_]*");
    return std::regex_match(name, label ? label_name : metric) && !(label && name.rfind("__", 0) == 0);
}

bool parse_value(const std::string& text, double& value)
{
    if (text == "+Inf" || text == "-Inf" || text == "NaN") {
        value = text == "NaN" ? NAN : text[0] == '+' ? INFINITY : -INFINITY;
        return true;
    }
    char* end = nullptr;
    value = strtod(text.c_str(), &end);
    return !text.empty() && *end == 0 && std::isfinite(value);
}

// name{label="value",...} value  ->  `s`; false with `why` on anything the format does not allow.
bool parse_sample(const std::string& line, sample& s, std::string& why)
{
    size_t at = line.find_first_of("{ ");
    if (at == std::string::npos)
        return why = "no value", false;
    s.name = line.substr(0, at);
    if (!valid_name(s.name, false))
        return why = "bad metric name " + s.name, false;
    if (line[at] == '{') {
        at++;
        while (line[at] != '}') {
            size_t eq = line.find('=', at);
            if (eq == std::string::npos || eq + 1 >= line.size() || line[eq + 1] != '"')
                return why = "bad label", false;
            std::string name = line.substr(at, eq - at), value;
            if (!valid_name(name, true) || s.labels.count(name))
                return why = "bad or repeated label name " + name, false;
            size_t i = eq + 2;
            for (; i < line.size() && line[i] != '"'; i++) {
                if (line[i] != '\\') {
                    value += line[i];
                    continue;
                }
                char e = i + 1 < line.size() ? line[++i] : 0;
                if (e != '\\' && e != '"' && e != 'n')
                    return why = "bad escape in a label value", false;
                value += e == 'n' ? '\n' : e;
            }
            if (i >= line.size())
                return why = "unclosed label value", false;
            s.labels[name] = value;
            at = i + 1;
            if (line[at] == ',')
                at++;
            else if (line[at] != '}')
                return why = "labels not separated by commas", false;
        }
        at++;
    }
    if (line[at] != ' ')
        return why = "no blank before the value", false;
    std::string value = line.substr(at + 1);
    if (!parse_value(value, s.value))
        return why = "bad value '" + value + "' (or a time stamp, which the gang never sends)", false;
    return true;
}

// The family a sample belongs to: its own name, or a histogram's name without its suffix.
std::string family_of(const std::string& name, const std::map<std::string, family>& families)
{
    for (const char* suffix : {"_bucket", "_sum", "_count"}) {
        size_t n = strlen(suffix);
        if (name.size() > n && name.compare(name.size() - n, n, suffix) == 0) {
            auto found = families.find(name.substr(0, name.size() - n));
            if (found != families.end() && found->second.type == "histogram")
                return found->first;
        }
    }
    return name;
}

// Checks a histogram's series: buckets in order of `le`, never fewer, the last +Inf equal to
// _count, and a _sum.
bool check_histogram(const std::string& name, const family& f, std::string& why)
{
    double last_le = -INFINITY, last_count = 0, inf = -1, count = -1;
    bool sum = false;
    for (const sample& s : f.samples) {
        if (s.name == name + "_bucket") {
            double le;
            if (!s.labels.count("le") || !parse_value(s.labels.at("le"), le) || le <= last_le || s.value < last_count)
                return why = name + ": buckets out of order or not cumulative", false;
            last_le = le;
            last_count = s.value;
            if (std::isinf(le))
                inf = s.value;
        }
        count = s.name == name + "_count" ? s.value : count;
        sum = sum || s.name == name + "_sum";
    }
    if (inf < 0 || inf != count || !sum)
        return why = name + ": no +Inf bucket equal to _count, or no _sum", false;
    return true;
}

// Whether `text` is well-formed UTF-8 (no overlong form, no surrogate, nothing above U+10FFFF)
// without a control character; a scraper refuses a whole text for one such byte.
bool plain_utf8(const std::string& text)
{
    for (size_t i = 0; i < text.size();) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        if (c < 0x20 || c == 0x7f)
            return false;
        const size_t n = c < 0x80 ? 1 : c >= 0xc2 && c <= 0xdf ? 2 : c >= 0xe0 && c <= 0xef ? 3 : c >= 0xf0 && c <= 0xf4 ? 4 : 0;
        if (n == 0 || i + n > text.size())
            return false;
        uint32_t point = n == 1 ? c : c & (0x7f >> n);
        for (size_t k = 1; k < n; k++) {
            const unsigned char next = static_cast<unsigned char>(text[i + k]);
            if ((next & 0xc0) != 0x80)
                return false;
            point = point << 6 | (next & 0x3f);
        }
        const uint32_t lowest[] = {0, 0, 0x80, 0x800, 0x10000};
        if (point < lowest[n] || point > 0x10ffff || (point >= 0xd800 && point <= 0xdfff) || (point >= 0x80 && point < 0xa0))
            return false;
        i += n;
    }
    return true;
}

// The whole text: HELP and TYPE once each and before the family's samples, a family's samples
// together, every line well formed UTF-8 without control characters, no series twice,
// counters named _total, histograms whole.
bool parse_exposition(const std::string& text, std::map<std::string, family>& families, std::string& why)
{
    if (text.empty() || text.back() != '\n')
        return why = "the text must end with a line end", false;
    std::istringstream in(text);
    std::string current;
    std::set<std::string> series, closed;
    for (std::string line; std::getline(in, line);) {
        if (!plain_utf8(line))
            return why = "a byte that is not UTF-8, or a control character: " + line, false;
        std::smatch m;
        if (std::regex_match(line, m, std::regex("# (HELP|TYPE) (\\S+) (.*)"))) {
            std::string name = m[2];
            family& f = families[name];
            if (!valid_name(name, false) || closed.count(name) || (name != current && !current.empty() && !f.samples.empty()))
                return why = "HELP or TYPE out of place: " + line, false;
            if (name != current && !current.empty())
                closed.insert(current);
            current = name;
            std::string& field = m[1] == "HELP" ? f.help : f.type;
            if (!field.empty() || !f.samples.empty())
                return why = "a second " + std::string(m[1]) + " or one after samples: " + line, false;
            field = m[3];
            static const std::set<std::string> types = {"counter", "gauge", "histogram", "summary", "untyped"};
            if (m[1] == "TYPE" && !types.count(field))
                return why = "unknown type: " + line, false;
            bool total = name.size() > 6 && name.compare(name.size() - 6, 6, "_total") == 0;
            if (m[1] == "TYPE" && field == "counter" && !total)
                return why = "a counter's name must end in _total: " + name, false;
            continue;
        }
        sample s;
        if (!parse_sample(line, s, why))
            return why += ": " + line, false;
        std::string name = family_of(s.name, families);
        if (name != current || families[name].type.empty() || families[name].help.empty())
            return why = "a sample without its HELP and TYPE just before: " + line, false;
        std::ostringstream key;
        key << s.name;
        for (const auto& [k, v] : s.labels)
            key << "," << k << "=" << v;
        if (!series.insert(key.str()).second)
            return why = "a series twice: " + line, false;
        if (families[name].type == "counter" && s.value < 0)
            return why = "a negative counter: " + line, false;
        families[name].samples.push_back(s);
    }
    for (const auto& [name, f] : families)
        if (f.type == "histogram" && !check_histogram(name, f, why))
            return false;
    return true;
}

// The value of the sample `name` with exactly these labels besides the station; NaN when none.
double value_of(const std::map<std::string, family>& families, const std::string& name,
                std::map<std::string, std::string> labels = {})
{
    labels["station"] = "line-3";
    for (const auto& [family_name, f] : families)
        for (const sample& s : f.samples)
            if (s.name == name && s.labels == labels)
                return s.value;
    return NAN;
}

class hooks_test : public unit_test {
protected:
    temp_dir cwd;
    gang_process gang;

    void SetUp() override
    {
        unit_test::SetUp();
        write_file(cwd / "hook.sh", HOOK_SCRIPT);
        chmod((cwd / "hook.sh").c_str(), 0755);
        write_file(cwd / "label.zpl", LABEL_TEMPLATE);
    }

    // Unplugs `unit`, waits until the gang has seen it go (the `gone`th time on that port), and
    // plugs a fresh unit in its place.
    void replace(vunit* unit, const std::string& port, int gone)
    {
        vunit_unplug(unit);
        ASSERT_TRUE(gang.wait_for_count(port + " unit gone", gone, 10000)) << gang.output;
        stop_unit(unit);
        start_unit({}, port);
    }

    std::vector<record_line> records()
    {
        std::istringstream in(read_file(cwd / "production.csv"));
        std::vector<record_line> lines;
        std::string line;
        std::getline(in, line);  // the header
        while (std::getline(in, line)) {
            std::vector<std::string> f;
            std::stringstream fields(line);
            for (std::string field; std::getline(fields, field, ',');)
                f.push_back(field);
            EXPECT_EQ(f.size(), 9u) << line;
            if (f.size() == 9)
                lines.push_back({f[0], f[1], f[2], f[5], f[8], std::stoi(f[6]), std::stoi(f[7])});
        }
        return lines;
    }

    run_result replay()
    {
        return run_program({program_path("pelmo4rix"), "gang", "--replay-hooks", "hook-spool.txt"}, cwd.path, "", false,
                           60000);
    }

    // The label that the template makes for the unit of `r`, its time taken from `label`
    // where the template puts it.
    static std::string expected_label(const record_line& r, const std::string& label)
    {
        std::string compact = r.address;
        compact.erase(std::remove(compact.begin(), compact.end(), ':'), compact.end());
        std::string head = "^XA^FO40,40^A0N,40,40^FD" + r.address + "^FS^FO40,100^BQN,2,6^FDQA," + compact +
                           "^FS^FO40,300^FD" + r.port + " line-3 6.05 ";
        std::string time = label.size() > head.size() ? label.substr(head.size(), strlen("2026-12-10T11:39:43Z")) : "";
        EXPECT_TRUE(std::regex_match(time, std::regex("\\d{4}-\\d\\d-\\d\\dT\\d\\d:\\d\\d:\\d\\dZ"))) << label;
        return head + time + "^FS^FX {braces} ^XZ\n";
    }
};

TEST_F(hooks_test, TheHookGetsEachUnitsFactsAndRecordLineWithoutAShell)
{
    start_unit({}, "COM7");
    start_unit({"--fault", "bad-crc"}, "COM8");
    gang.start({"--units", "2", "--attempts", "1", "--station", "line-3", "--on-unit", "./hook.sh 'two words' $HOME"},
               cwd.path);
    ASSERT_EQ(gang.finish(), 28) << gang.output;

    std::vector<record_line> lines = records();
    ASSERT_EQ(lines.size(), 2u);
    for (const record_line& r : lines) {
        const std::string lap = lap_of(r.address);
        EXPECT_EQ(read_file(cwd / ("args-" + lap)), "two words\n$HOME\n") << "words as quoted, nothing expanded";
        std::map<std::string, std::string> facts = environment_in(read_file(cwd / ("env-" + lap)));
        EXPECT_EQ(facts["PELMO4RIX_RESULT"], r.result);
        EXPECT_EQ(facts["PELMO4RIX_ADDRESS"], r.address);
        EXPECT_EQ(facts["PELMO4RIX_PORT"], r.port);
        EXPECT_EQ(facts["PELMO4RIX_STATION"], "line-3");
        EXPECT_EQ(facts["PELMO4RIX_ERROR_CODE"], std::to_string(r.error_code));
        EXPECT_EQ(facts["PELMO4RIX_ATTEMPTS"], "1");
        EXPECT_EQ(facts["PELMO4RIX_SECONDS"], r.seconds);
        EXPECT_EQ(facts["PELMO4RIX_IMAGE_VERSION"], "6.05");
        EXPECT_EQ(facts["PELMO4RIX_IMAGE_CHECKSUM"], "3922BA1C");
        EXPECT_EQ(facts["PELMO4RIX_TIME"], r.time) << "one time for the hook and the record";
        EXPECT_TRUE(facts.count("PELMO4RIX_RESERVATION") && facts["PELMO4RIX_RESERVATION"].empty());
        EXPECT_EQ(read_file(cwd / ("json-" + lap)), expected_json(r, facts["PELMO4RIX_TIME"], "line-3"));
    }
    EXPECT_EQ(lines[0].result == "good" ? lines[1].error_code : lines[0].error_code, 20);

    // flash runs the same hook for its unit, named by the port's stable name as the gang names it.
    start_unit({}, "COM9");
    const std::string place = "pci-0000:00:14.0-usb-0:3:1.0-port0";
    fake_system::link_stable_name(dev.path, "by-path", place, "COM9");
    const std::string stable = "serial/by-path/" + place;
    run_result flash = run_program({program_path("pelmo4rix"), "--port", stable, "--quiet", "flash", "--address",
                                    "0604:03:00abcd", "--station", "line-3", "--on-unit", "./hook.sh"},
                                   cwd.path, "", false, 60000);
    ASSERT_EQ(flash.exit_code, 0) << flash.output;
    std::map<std::string, std::string> facts = environment_in(read_file(cwd / "env-00abcd"));
    EXPECT_EQ(facts["PELMO4RIX_RESULT"], "good");
    EXPECT_EQ(facts["PELMO4RIX_PORT"], stable);
    EXPECT_EQ(read_file(cwd / "json-00abcd").rfind("{\"time\":\"" + facts["PELMO4RIX_TIME"] + "\",\"port\":\"" + stable +
                                                       "\",\"address\":\"0604:03:00abcd\"",
                                                   0),
              0u)
        << read_file(cwd / "json-00abcd");
}

TEST_F(hooks_test, SlowAndFailingHooksHoldUpNoUnitAndAreReplayedOnce)
{
    {
        scoped_env slow("HOOK_SLOW_LAP", "000100"), failing("HOOK_FAIL_LAP", "000101");
        vunit* unit = start_unit({}, "COM7");
        gang.start({"--units", "3", "--on-unit", "./hook.sh", "--on-unit-timeout", "12"}, cwd.path);
        ASSERT_TRUE(gang.wait_for("COM7 0604:03:000100 good")) << gang.output;
        replace(unit, "COM7", 1);
        ASSERT_TRUE(gang.wait_for("COM7 0604:03:000101 good")) << gang.output;
        ASSERT_TRUE(gang.wait_for("COM7 0604:03:000101 hook failed: exit 1: the MES refused 000101; kept in hook-spool.txt"))
            << gang.output;
        replace(units.back(), "COM7", 2);
        ASSERT_EQ(gang.finish(), 0) << "the units are good whatever their hooks did\n" << gang.output;
    }
    // The slow hook still ran when the next two units had been programmed, and was ended.
    size_t third = gang.output.find("COM7 0604:03:000102 good");
    size_t timed_out = gang.output.find("COM7 0604:03:000100 hook timed out: no answer within 12 s; kept in hook-spool.txt");
    ASSERT_NE(timed_out, std::string::npos) << gang.output;
    EXPECT_LT(third, timed_out) << gang.output;
    EXPECT_EQ(records().size(), 3u) << "every unit recorded";
    EXPECT_EQ(read_file(cwd / "delivered.txt"), "000102\n");

    run_result first = replay();
    EXPECT_EQ(first.exit_code, 0) << first.output;
    EXPECT_NE(first.output.find("replayed 2 from hook-spool.txt: 2 delivered, 0 still there"), std::string::npos)
        << first.output;
    run_result second = replay();
    EXPECT_EQ(second.exit_code, 0) << second.output;
    EXPECT_NE(second.output.find("replayed 0"), std::string::npos) << second.output;
    std::string delivered = read_file(cwd / "delivered.txt");
    EXPECT_EQ(std::count(delivered.begin(), delivered.end(), '\n'), 3) << delivered;
    for (const char* lap : {"000100", "000101", "000102"})
        EXPECT_NE(delivered.find(lap), std::string::npos) << lap;
    // The replayed hook got the unit's own facts and line, not the replay's.
    for (const record_line& r : records()) {
        std::map<std::string, std::string> facts = environment_in(read_file(cwd / ("env-" + lap_of(r.address))));
        EXPECT_EQ(facts["PELMO4RIX_ADDRESS"], r.address);
        EXPECT_EQ(read_file(cwd / ("json-" + lap_of(r.address))), expected_json(r, facts["PELMO4RIX_TIME"], facts["PELMO4RIX_STATION"]));
    }
}

TEST_F(hooks_test, APrinterOnTcpGetsOneRenderedLabelPerGoodUnit)
{
    printer zebra;
    ASSERT_GT(zebra.port, 0);
    start_unit({}, "COM7");
    start_unit({}, "COM8");
    start_unit({"--fault", "bad-crc"}, "COM9");
    gang.start({"--units", "3", "--attempts", "1", "--station", "line-3", "--label", "label.zpl", "--label-to",
                "tcp://127.0.0.1:" + std::to_string(zebra.port)},
               cwd.path);
    ASSERT_EQ(gang.finish(), 28) << gang.output;
    zebra.send_own_job("after the gang");
    std::vector<std::string> labels = zebra.wait_for_jobs(3);
    ASSERT_EQ(labels.size(), 3u) << gang.output;
    EXPECT_EQ(labels.back(), "after the gang") << "a label for each good unit and no other";
    labels.pop_back();
    std::multiset<std::string> expected;
    for (const record_line& r : records())
        if (r.result == "good")
            for (const std::string& label : labels)
                if (label.find(r.address) != std::string::npos)
                    expected.insert(expected_label(r, label));
    EXPECT_EQ(std::multiset<std::string>(labels.begin(), labels.end()), expected);
    EXPECT_EQ(gang.output.find("label not printed"), std::string::npos) << gang.output;
}

TEST_F(hooks_test, ALabelThePrinterRefusedStaysInTheSpoolAndIsPrintedOnReplay)
{
    int port = refusing_port();
    start_unit({}, "COM7");
    gang.start({"--units", "1", "--station", "line-3", "--label", "label.zpl", "--label-to",
                "tcp://127.0.0.1:" + std::to_string(port)},
               cwd.path);
    ASSERT_EQ(gang.finish(), 0) << "the unit stays good\n" << gang.output;
    EXPECT_NE(gang.output.find("COM7 0604:03:000100 label not printed: 127.0.0.1:" + std::to_string(port)),
              std::string::npos)
        << gang.output;
    ASSERT_EQ(records().size(), 1u);
    EXPECT_EQ(records()[0].result, "good");

    printer zebra(port);
    ASSERT_EQ(zebra.port, port);
    run_result first = replay();
    EXPECT_EQ(first.exit_code, 0) << first.output;
    std::vector<std::string> labels = zebra.wait_for_jobs(1);
    ASSERT_EQ(labels.size(), 1u);
    EXPECT_EQ(labels[0], expected_label(records()[0], labels[0]));
    run_result second = replay();
    EXPECT_EQ(second.exit_code, 0) << second.output;
    EXPECT_NE(second.output.find("replayed 0"), std::string::npos) << second.output;
    zebra.send_own_job("after the replays");
    EXPECT_EQ(zebra.wait_for_jobs(2), (std::vector<std::string>{labels[0], "after the replays"})) << "printed once";
}

TEST_F(hooks_test, WhatIsRefusedBeforeAnyUnit)
{
    write_file(cwd / "serial.zpl", "^XA^FD{serial}^FS^XZ");
    write_file(cwd / "open.zpl", "^XA^FD{address^FS^XZ");
    struct refusal {
        std::vector<std::string> args;
        std::string message;
    } cases[] = {
        {{"gang", "--label", "serial.zpl", "--label-to", "-"}, "the label template serial.zpl has an unknown placeholder {serial}"},
        {{"gang", "--label", "open.zpl", "--label-to", "-"}, "unknown placeholder {address^FS^XZ"},
        {{"--port", "COM7", "flash", "--label", "serial.zpl", "--label-to", "-"}, "unknown placeholder {serial}"},
        {{"gang", "--label", "missing.zpl", "--label-to", "-"}, "can't read the label template missing.zpl"},
        {{"gang", "--label", "label.zpl"}, "--label needs --label-to TO"},
        {{"gang", "--label-to", "tcp://printer"}, "bad --label-to tcp://printer: give tcp://HOST:PORT"},
        {{"gang", "--on-unit", "./hook.sh 'open"}, "unclosed quote in --on-unit"},
        {{"gang", "--on-unit-timeout", "0"}, "bad number for --on-unit-timeout: 0"},
        {{"gang", "--replay-hooks", "missing.txt"}, "can't read the spool missing.txt"},
    };
    for (const refusal& c : cases) {
        std::vector<std::string> argv = {program_path("pelmo4rix")};
        argv.insert(argv.end(), c.args.begin(), c.args.end());
        run_result r = run_program(argv, cwd.path, "", false, 30000);
        EXPECT_EQ(r.exit_code, c.args[0] == "gang" && c.args[1] == "--replay-hooks" ? 34 : 2) << c.args[1];
        EXPECT_NE(r.output.find(c.message), std::string::npos) << c.message << "\n" << r.output;
        EXPECT_EQ(r.output.find("start, worker"), std::string::npos) << r.output;
    }
    EXPECT_EQ(read_file(cwd / "production.csv"), "") << "no unit was begun";
}

// Whatever a station or a port is named, the metrics stay a text that a strict scraper takes:
// valid UTF-8, control characters shown as \xHH, quotes and backslashes escaped.
TEST(metrics, odd_names_pass_a_strict_parser)
{
    const struct {
        std::string name, shown;
    } names[] = {
        {"COM\r7", "COM\\x0d7"},
        {"tty\xff\xfe", "tty\\xff\\xfe"},
        {"a\"b\\c\nd", "a\"b\\c\\x0ad"},
        {"\xc2\x9b" "2J", "\\x9b2J"},
        {"Z\xc3\xbcrich", "Z\xc3\xbcrich"},
    };
    std::vector<slot_metrics> slots;
    for (const auto& n : names)
        slots.push_back({n.name, "waiting", false});
    line_totals totals;
    totals.start = line_clock::now();
    metrics_facts facts;
    facts.station = "line\x1b[2J\r";
    const std::string text = metrics_text(slots, totals, facts, line_clock::now());
    std::map<std::string, family> families;
    std::string why;
    ASSERT_TRUE(parse_exposition(text, families, why)) << why << "\n" << text;
    for (const auto& n : names) {
        bool found = false;
        for (const sample& s : families["pelmo4rix_slot_state"].samples)
            found = found || (s.labels.at("slot") == n.shown && s.labels.at("station") == "line\\x1b[2J\\x0d");
        EXPECT_TRUE(found) << n.shown << "\n" << text;
    }
}

TEST_F(hooks_test, MetricsCountWhatTheRecordHolds)
{
    start_unit({}, "COM7");
    start_unit({}, "COM8");
    start_unit({}, "COM9");
    start_unit({"--fault", "bad-crc"}, "COM10");
    gang.start({"--attempts", "1", "--station", "line-3", "--http", "127.0.0.1:0", "--on-unit", "false"}, cwd.path);
    const std::string head = "gang page http://127.0.0.1:";
    ASSERT_TRUE(gang.wait_for(head, 10000)) << gang.output;
    int port = std::stoi(gang.output.substr(gang.output.find(head) + head.size()));
    ASSERT_TRUE(gang.wait_for_count(" hook failed: exit 1", 4)) << gang.output;

    // The page publishes a few times a second: read until it shows the four units' hooks.
    std::string http_head, text;
    std::map<std::string, family> families;
    for (int i = 0; i < 50; i++) {
        text = http_get(port, "/metrics", http_head);
        std::string why;
        families.clear();
        ASSERT_TRUE(parse_exposition(text, families, why)) << why << "\n" << text;
        if (value_of(families, "pelmo4rix_deliveries_total", {{"kind", "hook"}, {"result", "failed"}}) == 4)
            break;
        usleep(100000);
    }
    EXPECT_EQ(http_head.rfind("HTTP/1.1 200", 0), 0u) << http_head;
    EXPECT_NE(http_head.find("text/plain; version=0.0.4"), std::string::npos) << http_head;
    std::string status = http_get(port, "/api/status", http_head);
    kill(gang.pid, SIGINT);
    ASSERT_EQ(gang.finish(), 28) << gang.output;

    std::vector<record_line> lines = records();
    ASSERT_EQ(lines.size(), 4u);
    int attempts = 0;
    double seconds = 0;
    for (const record_line& r : lines) {
        attempts += r.attempts;
        seconds += std::stod(r.seconds);
    }
    EXPECT_EQ(value_of(families, "pelmo4rix_units_total", {{"result", "good"}}), 3) << text;
    EXPECT_EQ(value_of(families, "pelmo4rix_units_total", {{"result", "failed"}}), 1) << text;
    EXPECT_EQ(value_of(families, "pelmo4rix_unit_failures_total", {{"error_code", "20"}}), 1) << text;
    EXPECT_EQ(value_of(families, "pelmo4rix_attempts_total"), attempts) << text;
    EXPECT_EQ(value_of(families, "pelmo4rix_programming_seconds_count"), 4) << text;
    EXPECT_NEAR(value_of(families, "pelmo4rix_programming_seconds_sum"), seconds, 0.05 * 4 + 0.001) << text;
    EXPECT_EQ(value_of(families, "pelmo4rix_units_in_progress"), 0) << text;
    EXPECT_EQ(value_of(families, "pelmo4rix_addresses_left"), 0x1000000 - 0x104) << text;
    EXPECT_EQ(value_of(families, "pelmo4rix_deliveries_total", {{"kind", "hook"}, {"result", "failed"}}), 4) << text;
    EXPECT_EQ(value_of(families, "pelmo4rix_deliveries_total", {{"kind", "label"}, {"result", "delivered"}}), 0) << text;
    for (const char* slot : {"COM7", "COM8", "COM9", "COM10"}) {
        bool failed = std::string(slot) == "COM10";
        EXPECT_EQ(value_of(families, "pelmo4rix_slot_state", {{"slot", slot}, {"state", failed ? "failed" : "good"}}), 1)
            << slot << "\n" << text;
        EXPECT_EQ(value_of(families, "pelmo4rix_slot_state", {{"slot", slot}, {"state", "programming"}}), 0) << slot;
        EXPECT_EQ(value_of(families, "pelmo4rix_slot_quarantined", {{"slot", slot}}), 0) << slot;
    }
    EXPECT_EQ(value_of(families, "pelmo4rix_build_info",
                       {{"version", "1.03"}, {"image_version", "6.05"}, {"image_checksum", "3922BA1C"}}),
              1)
        << text;
    EXPECT_EQ(text.find("0604:03"), std::string::npos) << "no address in any label";
    size_t shown = 0;
    for (size_t at = status.find("\"delivery\":\"hook failed\""); at != std::string::npos;
         at = status.find("\"delivery\":\"hook failed\"", at + 1))
        shown++;
    EXPECT_EQ(shown, 4u) << "beside each slot on the page\n" << status;
}

}  // namespace
