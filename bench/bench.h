// Helpers of the benchmarks: figures over several runs, the printed table, programs run as
// children, and counters of the port's reads.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <string>
#include <vector>

using bench_clock = std::chrono::steady_clock;

double ms_since(bench_clock::time_point start);

// Median and spread of the runs of one figure.
struct figure {
    std::vector<double> runs;
    double median() const;
    double min() const;
    double max() const;
};

// One row of the table: what was measured, its figure in `unit`, and the limit it is held
// against (0: none). `note` is free text at the end of the row.
void print_table_head();
void print_row(const std::string& what, const figure& measured, const std::string& unit, double limit = 0,
               const std::string& note = "");
void print_note(const std::string& text);

// Standard output goes to /dev/null while one of these lives: the messages and dots of the
// code under test stay out of the table, which is printed between measurements.
struct quiet_stdout {
    quiet_stdout();
    ~quiet_stdout();
    int saved;
};

// A program run as a child in `cwd`, with standard input and output on pipes.
struct child_program {
    pid_t pid = -1;
    int in = -1;   // its standard input: closing it is the operator pressing 'q'
    int out = -1;  // its standard output
    std::string shown;    // what it printed so far
    size_t matched = 0;   // the part of it that waits have gone past
    double peak_mib = 0;  // the most memory it has held so far, as last seen

    bool start(const std::string& path, const std::vector<std::string>& args, const std::string& cwd);
    // Reads its output until `text` appears after what earlier waits matched, or `ms` pass;
    // true when it appeared.
    bool wait_for(const std::string& text, int ms);
    // Reads (and forgets) its output for `ms`, so that it never blocks on a full pipe.
    void drain_for(int ms);
    // Ends it: input closed, then SIGKILL after `ms`; true when it ended by itself.
    bool finish(int ms);
    // Notes its peak memory (VmHWM): the exit status's ru_maxrss would also count what this
    // process held when it forked the child.
    void note_peak();
};

// CPU time a process has used so far, in ms (from /proc/PID/schedstat).
double cpu_ms_of(pid_t pid);
// CPU time of the calling thread so far, in ms.
double thread_cpu_ms();

// Counters of the port's reads, kept by a wrapper around os_port_read that the linker puts
// in front of it (-Wl,--wrap=os_port_read): the code under test is unchanged.
struct read_counters {
    long reads = 0;        // os_port_read calls
    long empty = 0;        // of them, calls that returned no byte
    double wait_ms = 0;    // time spent inside them
};
extern read_counters port_reads;

// The file as bytes; empty when it can't be read.
std::string read_file(const std::string& path);
