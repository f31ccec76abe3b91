// The gang station as a running process, `pelmo4rix gang ...`, its event lines read from a pipe.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "support/session.h"
#include "support/support.h"

// The gang as a running process, its event lines on a pipe.
struct gang_process {
    pid_t pid = -1;
    int out = -1;
    std::string output;
    size_t seen = 0;  // output already matched by wait_for
    bool reaped = false;
    rlim_t descriptor_limit = 0;  // when set: the gang's limit of open descriptors, soft and hard

    gang_process() = default;
    gang_process(const gang_process&) = delete;
    ~gang_process()
    {
        if (pid > 0 && !reaped) {
            kill(pid, SIGKILL);
            waitpid(pid, nullptr, 0);
        }
        if (out >= 0)
            close(out);
    }

    // Starts `pelmo4rix gang ARGS` in `cwd`; with `device_dir` that device directory instead
    // of the test's own.
    void start(const std::vector<std::string>& args, const std::string& cwd, const std::string& device_dir = "")
    {
        int pipe_ends[2];
        ASSERT_EQ(pipe(pipe_ends), 0);
        const pid_t test = getpid();
        pid = fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            end_with_test(test);
            int null_device = open("/dev/null", O_RDONLY);
            dup2(null_device, 0);
            dup2(pipe_ends[1], 1);
            close(pipe_ends[0]);
            close(pipe_ends[1]);
            if (chdir(cwd.c_str()) != 0)
                _exit(127);
            if (!device_dir.empty())
                setenv("PELMO4RIX_DEVICE_DIR", device_dir.c_str(), 1);
            const rlimit limit = {descriptor_limit, descriptor_limit};
            if (descriptor_limit && setrlimit(RLIMIT_NOFILE, &limit) != 0)
                _exit(126);
            std::vector<std::string> all = {program_path("pelmo4rix"), "gang"};
            all.insert(all.end(), args.begin(), args.end());
            exec_program(all);
        }
        close(pipe_ends[1]);
        out = pipe_ends[0];
    }

    bool read_more(std::chrono::steady_clock::time_point deadline)
    {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now()).count();
        pollfd p = {out, POLLIN, 0};
        if (left <= 0 || poll(&p, 1, static_cast<int>(left)) <= 0)
            return false;
        char chunk[4096];
        ssize_t r = read(out, chunk, sizeof chunk);
        if (r > 0)
            output.append(chunk, static_cast<size_t>(r));
        return r > 0;
    }

    // Takes in what the gang has printed so far, without waiting.
    void read_available()
    {
        pollfd p = {out, POLLIN, 0};
        char chunk[4096];
        ssize_t r;
        while (poll(&p, 1, 0) > 0 && (r = read(out, chunk, sizeof chunk)) > 0)
            output.append(chunk, static_cast<size_t>(r));
    }

    // Collects what the gang prints during `ms`.
    void read_for(int ms)
    {
        auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
        while (std::chrono::steady_clock::now() < deadline)
            if (!read_more(deadline))
                usleep(10000);
    }

    // Waits until `text` appears after what earlier waits matched; false after `ms` or at the
    // gang's end.
    bool wait_for(const std::string& text, int ms = 60000)
    {
        return wait_after(output, seen, text, ms, [this](std::chrono::steady_clock::time_point d) { return read_more(d); });
    }

    // Waits until each of `texts` has appeared after what earlier waits matched, in any order
    // (events of units side by side); the next wait goes on after the last of them.
    bool wait_for_each(const std::vector<std::string>& texts, int ms = 60000)
    {
        const size_t from = seen;
        size_t last = from;
        for (const std::string& text : texts) {
            seen = from;
            if (!wait_for(text, ms))
                return false;
            last = std::max(last, seen);
        }
        seen = last;
        return true;
    }

    // Waits until the output holds `text` `n` times; false after `ms` or at the gang's end.
    bool wait_for_count(const std::string& text, int n, int ms = 60000)
    {
        auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
        while (count(text) < n)
            if (!read_more(deadline))
                return false;
        return true;
    }

    // The gang's exit code once it has ended by itself; -1 when it had to be killed.
    int finish(int ms = 60000)
    {
        auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
        while (read_more(deadline)) {
        }
        reaped = true;
        return reap_by(pid, deadline);
    }

    int count(const std::string& text) const
    {
        int n = 0;
        for (size_t at = output.find(text); at != std::string::npos; at = output.find(text, at + 1))
            n++;
        return n;
    }
};
