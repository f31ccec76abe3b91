// A real headless Chromium, driven over its DevTools pipe: loads a page, evaluates script in
// it, and keeps what the page logged as errors and every address it requested.
#pragma once

#include <sys/types.h>

#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "support/support.h"

class browser {
public:
    browser() = default;
    browser(const browser&) = delete;
    ~browser();

    // The browser's program, or empty when none is installed.
    static std::string program();
    // Starts it with a fresh profile; false (with `why`) when it can't be started.
    bool start(std::string& why);
    // Opens `url` in a new tab; true once it has loaded.
    bool open(const std::string& url);
    // The value of `expression` in the page (JSON: strings, numbers, arrays...); null on failure.
    nlohmann::json evaluate(const std::string& expression);
    // Evaluates `expression` until it yields `expected` or `ms` pass; the last value.
    nlohmann::json wait_for(const std::string& expression, const nlohmann::json& expected, int ms);

    std::vector<std::string> errors;     // console errors, uncaught exceptions, failed loads
    std::vector<std::string> requested;  // every address the page requested

private:
    pid_t pid_ = -1;
    int to_browser_ = -1, from_browser_ = -1;
    std::string pending_;  // bytes read past the last whole message
    std::string session_;  // the tab's DevTools session
    int next_id_ = 1;
    temp_dir profile_;

    // Sends a command and waits for its reply, taking in the events that come meanwhile.
    nlohmann::json call(const std::string& method, const nlohmann::json& params = nlohmann::json::object(),
                        int ms = 10000);
    bool read_message(nlohmann::json& message, int ms);
    void take_event(const nlohmann::json& event);
};
