#include "support/browser.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>

#include "support/session.h"

using nlohmann::json;
using steady = std::chrono::steady_clock;

namespace {

// Headless, no sandbox (root), and nothing of its own to fetch from the network.
const std::vector<std::string> BROWSER_FLAGS = {
    "--headless", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
    "--disable-background-networking", "--disable-component-update", "--disable-sync",
    "--disable-default-apps", "--disable-extensions", "--mute-audio", "--remote-debugging-pipe",
};

int ms_left(steady::time_point deadline)
{
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - steady::now()).count();
    return left > 0 ? static_cast<int>(left) : 0;
}

}  // namespace

browser::~browser()
{
    if (to_browser_ >= 0)
        close(to_browser_);
    if (from_browser_ >= 0)
        close(from_browser_);
    if (pid_ > 0) {
        kill(pid_, SIGTERM);
        reap_by(pid_, steady::now() + std::chrono::seconds(5));
    }
}

std::string browser::program()
{
    for (const char* name : {"chromium", "chromium-browser"}) {
        const char* path = getenv("PATH");
        std::string dirs = path ? path : "/usr/bin";
        for (size_t start = 0; start <= dirs.size();) {
            size_t colon = dirs.find(':', start);
            std::string dir = dirs.substr(start, colon == std::string::npos ? std::string::npos : colon - start);
            std::string candidate = dir + "/" + name;
            if (!dir.empty() && access(candidate.c_str(), X_OK) == 0)
                return candidate;
            if (colon == std::string::npos)
                break;
            start = colon + 1;
        }
    }
    return "";
}

bool browser::start(std::string& why)
{
    std::string path = program();
    if (path.empty()) {
        why = "chromium is not installed (Debian package chromium)";
        return false;
    }
    int commands[2], replies[2];
    if (pipe2(commands, O_CLOEXEC) != 0 || pipe2(replies, O_CLOEXEC) != 0) {
        why = "no pipes";
        return false;
    }
    std::vector<std::string> argv = {path};
    argv.insert(argv.end(), BROWSER_FLAGS.begin(), BROWSER_FLAGS.end());
    argv.push_back("--user-data-dir=" + profile_.path);
    argv.push_back("about:blank");
    const pid_t test = getpid();
    pid_ = fork();
    if (pid_ == 0) {
        end_with_test(test);
        // The DevTools pipe: commands in on descriptor 3, replies out on 4.
        dup2(commands[0], 3);
        dup2(replies[1], 4);
        // dup2 onto the same number keeps close-on-exec: the pipe may already be 3 or 4.
        fcntl(3, F_SETFD, 0);
        fcntl(4, F_SETFD, 0);
        int null_device = ::open("/dev/null", O_RDWR);
        dup2(null_device, 0);
        dup2(null_device, 1);
        dup2(null_device, 2);
        exec_program(argv);
    }
    close(commands[0]);
    close(replies[1]);
    to_browser_ = commands[1];
    from_browser_ = replies[0];
    // A first start on a busy machine can take many seconds: the wait ends as soon as it answers.
    if (pid_ < 0 || call("Browser.getVersion", json::object(), 60000).is_null()) {
        why = "chromium did not answer on its DevTools pipe";
        return false;
    }
    return true;
}

bool browser::read_message(json& message, int ms)
{
    auto deadline = steady::now() + std::chrono::milliseconds(ms);
    for (;;) {
        size_t end = pending_.find('\0');
        if (end != std::string::npos) {
            message = json::parse(pending_.substr(0, end), nullptr, false);
            pending_.erase(0, end + 1);
            return !message.is_discarded();
        }
        pollfd p = {from_browser_, POLLIN, 0};
        if (poll(&p, 1, ms_left(deadline)) <= 0)
            return false;
        char chunk[65536];
        ssize_t n = read(from_browser_, chunk, sizeof chunk);
        if (n <= 0)
            return false;
        pending_.append(chunk, static_cast<size_t>(n));
    }
}

void browser::take_event(const json& event)
{
    const std::string method = event.value("method", "");
    const json& params = event.contains("params") ? event["params"] : json::object();
    if (method == "Network.requestWillBeSent") {
        requested.push_back(params["request"].value("url", ""));
    } else if (method == "Runtime.exceptionThrown") {
        errors.push_back("exception: " + params["exceptionDetails"].dump());
    } else if (method == "Runtime.consoleAPICalled" && (params.value("type", "") == "error" ||
                                                          params.value("type", "") == "assert")) {
        errors.push_back("console: " + params["args"].dump());
    } else if (method == "Log.entryAdded" && params["entry"].value("level", "") == "error") {
        errors.push_back("log: " + params["entry"].value("text", "") + " " + params["entry"].value("url", ""));
    } else if (method == "Network.loadingFailed") {
        errors.push_back("load failed: " + params.value("errorText", ""));
    }
}

json browser::call(const std::string& method, const json& params, int ms)
{
    int id = next_id_++;
    json command = {{"id", id}, {"method", method}, {"params", params}};
    if (!session_.empty() && method.rfind("Target.", 0) != 0)
        command["sessionId"] = session_;
    std::string text = command.dump();
    text.push_back('\0');
    if (write(to_browser_, text.data(), text.size()) != static_cast<ssize_t>(text.size()))
        return nullptr;
    auto deadline = steady::now() + std::chrono::milliseconds(ms);
    json message;
    while (read_message(message, ms_left(deadline))) {
        if (message.value("id", 0) == id)
            return message.contains("result") ? message["result"] : json(nullptr);
        take_event(message);
    }
    return nullptr;
}

bool browser::open(const std::string& url)
{
    json target = call("Target.createTarget", {{"url", "about:blank"}});
    if (target.is_null())
        return false;
    json attached = call("Target.attachToTarget", {{"targetId", target["targetId"]}, {"flatten", true}});
    if (attached.is_null())
        return false;
    session_ = attached["sessionId"];
    for (const char* domain : {"Runtime.enable", "Log.enable", "Network.enable", "Page.enable"})
        if (call(domain).is_null())
            return false;
    if (call("Page.navigate", {{"url", url}}).is_null())
        return false;
    return wait_for("document.readyState", "complete", 30000) == "complete";
}

json browser::evaluate(const std::string& expression)
{
    json reply = call("Runtime.evaluate", {{"expression", expression}, {"returnByValue", true}});
    if (reply.is_null() || reply.contains("exceptionDetails"))
        return nullptr;
    return reply["result"].value("value", json(nullptr));
}

json browser::wait_for(const std::string& expression, const json& expected, int ms)
{
    auto deadline = steady::now() + std::chrono::milliseconds(ms);
    for (;;) {
        json value = evaluate(expression);
        if (value == expected || steady::now() >= deadline)
            return value;
        // Wait, and take in the events that come meanwhile.
        json event;
        while (read_message(event, 100))
            take_event(event);
    }
}
