// Fixtures shared by the tests: temporary directories, pseudo-terminal pairs, running a
// program and reading what it printed.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

// A fresh directory under /tmp, removed with everything in it at the end of the scope.
struct temp_dir {
    std::string path;
    temp_dir();
    ~temp_dir();
    std::string operator/(const std::string& name) const { return path + "/" + name; }
};

// Sets an environment variable for the scope, putting the old value back afterwards.
struct scoped_env {
    std::string name, old;
    bool had;
    scoped_env(const std::string& name, const std::string& value);
    ~scoped_env();
};

// The far side of a port: the master of a pseudo-terminal pair, whose terminal side is linked
// into a device directory under a port name.
struct far_end {
    int master = -1;
    int held_terminal = -1;
    std::string terminal;  // path of the terminal side
    far_end();
    ~far_end();
    void link_as(const std::string& dir, const std::string& name) const;
    // Bytes that arrive within `ms`, stopping early once `n` have come.
    std::vector<uint8_t> read(size_t n, int ms) const;
    void write(const std::vector<uint8_t>& bytes) const;
};

void write_file(const std::string& path, const std::string& content);
std::string read_file(const std::string& path);

// In a child process between fork and exec, `test` the process (thread) that forked it: the
// child is killed when that ends, however it ends (a time-out's SIGKILL, Ctrl+C), so that no
// program of a dead test goes on driving the pseudo-terminals that later tests' units get again.
void end_with_test(pid_t test);

// In a child process: replaces it with the program argv[0] run with `argv`; exit code 127 when
// that fails.
[[noreturn]] void exec_program(const std::vector<std::string>& argv);

struct run_result {
    int exit_code = -1;  // -1 when it did not exit by itself in time
    std::string output;  // standard output, and standard error unless kept apart
    std::string errors;  // standard error when kept apart
};

// Runs a program with standard input from `input` (closed at its end) and output to a pipe,
// or on a pseudo-terminal when `terminal` is set; kills it after `timeout_ms`. With
// `separate_errors` standard error is kept apart in `errors`.
run_result run_program(const std::vector<std::string>& argv, const std::string& cwd, const std::string& input,
                       bool terminal, int timeout_ms, bool separate_errors = false);

std::string hex(const std::vector<uint8_t>& bytes);
std::vector<uint8_t> unhex(const std::string& text);

// NAP:UAP:LAP text of the address with the address file's default NAP and UAP (0604:03) and `lap`.
std::string address_text(int lap);
// NAP:UAP:LAP text of an address in flash order (LAP's low byte first).
std::string address_text(const uint8_t address[6]);
// The address file's one line that hands out that address next.
std::string address_file_line(int lap);

// The rows of a CSV text, each split into its cells (quoted cells unquoted).
std::vector<std::vector<std::string>> csv_rows(const std::string& text);

// Seconds since 1970 of a UTC time as the programs write it (2026-12-10T11:39:43Z).
double utc_seconds(const std::string& stamp);

// A listening TCP socket on 127.0.0.1 with a port that the system picked: a port in use.
struct loopback_listener {
    int fd = -1;
    int port = 0;
    loopback_listener();
    ~loopback_listener();
    loopback_listener(const loopback_listener&) = delete;
};

// The mode the program set on its terminal, read on our side of a pseudo-terminal: line editing
// with echo (it waits for ENTER), or single keys without echo.
bool in_line_mode(int terminal);
bool in_keys_mode(int terminal);

// What `action` printed on standard output.
template <typename Action>
std::string printed_by(Action action)
{
    fflush(stdout);
    testing::internal::CaptureStdout();
    action();
    fflush(stdout);
    return testing::internal::GetCapturedStdout();
}
