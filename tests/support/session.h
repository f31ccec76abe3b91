// End-to-end sessions: a real program on a pseudo-terminal, driven as a person drives it.
// The test waits until the screen shows what a person would wait for, then types keys.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <string>
#include <vector>

// Waits until `text` appears in `output` after `seen` (the end of the last match), reading
// more with `read_more(deadline)` (false: nothing more came in time, or the output ended);
// moves `seen` past the match. Each wait so waits for the next event after the last one.
template <typename ReadMore>
bool wait_after(const std::string& output, size_t& seen, const std::string& text, int ms, ReadMore read_more)
{
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    for (;;) {
        size_t at = output.find(text, seen);
        if (at != std::string::npos) {
            seen = at + text.size();
            return true;
        }
        if (!read_more(deadline))
            return false;
    }
}

struct session {
    pid_t pid = -1;
    int terminal = -1;       // our side of the program's terminal
    std::string transcript;  // everything the program has shown so far, line ends as "\n"
    std::string raw;         // the same as the terminal sent it, carriage returns kept
    size_t seen = 0;         // transcript already matched by wait_for
    bool reaped = false;

    session() = default;
    session(const session&) = delete;
    ~session();

    // Starts `program` (a file in the build's program directory) with `args` in `cwd` with
    // PELMO4RIX_DEVICE_DIR set to `device_dir`.
    bool start(const std::string& program, const std::string& cwd, const std::string& device_dir,
               const std::vector<std::string>& args = {});
    // Waits until `text` appears after what earlier waits matched; false after `ms`.
    bool wait_for(const std::string& text, int ms = 20000);
    void type(const std::string& keys);
    // Waits until the program has its terminal in line editing with echo (it waits for ENTER),
    // so that what is typed next is echoed; false after `ms`.
    bool wait_for_line_editing(int ms = 5000);
    // Waits for the program to end, collecting what it shows; its exit code, -1 if killed.
    int finish(int ms = 20000);
    void kill_now(int signal);

private:
    bool read_more(std::chrono::steady_clock::time_point deadline);
};

// Waits for the child `pid` to end, killing it once `deadline` has passed; its exit code, -1
// if it was killed or died of a signal.
int reap_by(pid_t pid, std::chrono::steady_clock::time_point deadline);

// Path of one of the built programs.
std::string program_path(const std::string& name);
