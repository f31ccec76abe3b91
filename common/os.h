// What the rooms above share of the operating system: child processes read through a pipe
// (the gang's workers, the hooks and labels), a TCP send, a listening address, the program's
// path and the computer's name. One implementation per platform (os_posix.cpp, os_win32.cpp).
#pragma once

#include <string>
#include <vector>

struct os_worker;  // a running worker process and the pipe of its standard output

// Starts argv[0] with `argv`: standard output into a pipe that the program reads, standard
// input and standard error on the null device, in a process group of its own (the console's
// Ctrl+C is the program's to handle), and ended when the program dies. nullptr when it can't
// be started.
os_worker* os_worker_start(const std::vector<std::string>& argv);
// Appends to `out` what the worker wrote that was not read yet, without waiting; false once
// its output has ended.
bool os_worker_read(os_worker* worker, std::string& out);
// Waits at most `ms` for output (or an end) from any of `workers`.
void os_worker_wait(const std::vector<os_worker*>& workers, int ms);
void os_worker_stop(os_worker* worker);  // asks it to stop cleanly (it releases its port)
void os_worker_kill(os_worker* worker);  // ends it at once
// Waits for the worker to end and frees it: its exit code, or 128 + the signal that ended it.
int os_worker_finish(os_worker* worker);
long os_worker_id(const os_worker* worker);  // the process id, for the event lines
// True once the process has ended; os_worker_finish then returns at once.
bool os_worker_ended(os_worker* worker);

// Starts a hook as a worker is started, but: argv[0] found as a shell finds a command (on
// the PATH unless it names a path), `environment` (NAME=VALUE) over the program's own, `input`
// on its standard input (from a file: any size, never blocking the program), and its standard
// error into the same pipe as its output. Read, wait and end it as a worker.
os_worker* os_hook_start(const std::vector<std::string>& argv, const std::vector<std::string>& environment,
                         const std::string& input);

// Standard input read byte for byte (Windows would otherwise change line ends and stop at
// Ctrl+Z): a label reaches the printer as its template has it.
void os_binary_input();

// Sends `data` on a TCP connection to `host`:`port` and closes it; 0 with `error` when the
// host can't be reached or takes less. Blocking: run it in a process of its own.
int os_tcp_send(const std::string& host, int port, const std::string& data, std::string& error);

// The file of the running program, which is also the workers' program.
std::string os_program_path();

// The computer's name, the station's name in the pool's record unless one is given.
std::string os_host_name();

// `host` (a name or an address) and `port` as a socket address (struct sockaddr's bytes) to
// listen on, `ipv6` when it is one; false when the host can't be resolved.
bool os_socket_address(const std::string& host, int port, std::vector<unsigned char>& address, bool& ipv6);
