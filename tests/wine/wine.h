// The Windows programs under Wine. One private Wine prefix serves the whole run of the test
// program (a prefix's first start takes tens of seconds); its server stays up between cases so
// that the serial ports it mapped at start stay as the tests left them. A program runs in a
// tmux pane, where Wine's console reads keys as from a person, and its screen is read as a
// person reads it.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

// Why the Wine tests can't run here (no Wine, no tmux, no Windows programs), or empty.
const std::string& wine_unavailable();
// How making the Wine prefix failed, or empty.
const std::string& wine_failure();

// The path that the prefix's COM7 stands for: a link made there reaches the program as COM7,
// a port that Wine lists in the registry's serial-port map.
std::string wine_listed_com7();
// The prefix's folder of DOS device links: a link `comN` there is COMN, a port Wine does not list.
std::string wine_dosdevices();
// Path of one of the Windows programs.
std::string windows_program(const std::string& name);

// A program in a tmux pane of its own.
struct wine_console {
    std::string pane;       // the tmux session's name; empty before start
    std::string matched;    // the screen up to the end of what wait_for matched last
    std::string exit_file;  // where the program's exit code is noted when it ends

    wine_console() = default;
    wine_console(const wine_console&) = delete;
    ~wine_console() { stop(); }

    // Starts the Windows program `exe` under Wine in `cwd`, with `args` on its command line.
    bool start(const std::string& exe, const std::string& cwd, const std::vector<std::string>& args = {});
    // Waits until `text` shows on the screen after what earlier waits matched (anywhere once
    // the screen was cleared); a failure that holds the screen after `ms`.
    ::testing::AssertionResult wait_for(const std::string& text, int ms = 30000);
    void type(const std::string& keys);
    // The program's exit code once it has ended, -1 if it is still running after `ms`.
    int exit_code(int ms = 30000);
    // Everything the pane has shown, scrolled-off lines included, each line without the
    // blanks at its end and without the breaks where a long line wrapped.
    std::string screen() const;
    void stop();
};
