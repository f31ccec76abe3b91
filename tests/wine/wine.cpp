#include "wine/wine.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <sstream>
#include <thread>
#include <vector>

#include "support/support.h"

namespace fs = std::filesystem;

namespace {

constexpr int PREFIX_START_MS = 300000;  // the first start of a prefix builds it: tens of seconds
constexpr int COMMAND_MS = 60000;
// The server stays this long (seconds) without a program, longer than any wait of a test: a
// restarted server would map the machine's serial ports again. Bounded, so that a test run
// that was killed leaves no server behind for good.
const char SERVER_LINGER[] = "-p300";

// The first executable found: an absolute path as it stands, a bare name along PATH.
std::string find_program(const std::vector<std::string>& candidates)
{
    for (const std::string& name : candidates) {
        if (name[0] == '/') {
            if (access(name.c_str(), X_OK) == 0)
                return name;
            continue;
        }
        std::istringstream path(getenv("PATH") ? getenv("PATH") : "");
        std::string dir;
        while (std::getline(path, dir, ':'))
            if (!dir.empty() && access((dir + "/" + name).c_str(), X_OK) == 0)
                return dir + "/" + name;
    }
    return "";
}

// Runs a helper command with no input and its output appended to `log`; true when it ended
// with exit code 0 within `ms`. Not through a pipe: Wine's server, started by the first Wine
// command, lives on with the command's output descriptors.
bool run_logged(const std::vector<std::string>& argv, const std::string& log, int ms)
{
    const pid_t test = getpid();
    pid_t pid = fork();
    if (pid == 0) {
        end_with_test(test);
        int in = open("/dev/null", O_RDONLY);
        int out = open(log.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
        dup2(in, 0);
        dup2(out, 1);
        dup2(out, 2);
        exec_program(argv);
    }
    int status = 0;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (waitpid(pid, &status, WNOHANG) == 0) {
        if (std::chrono::steady_clock::now() > deadline) {
            kill(pid, SIGKILL);
            waitpid(pid, &status, 0);
            return false;
        }
        usleep(20000);
    }
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

// Everything a command printed (standard output and error), empty if it did not end in time.
std::string output_of(const std::vector<std::string>& argv)
{
    return run_program(argv, "/", "", false, COMMAND_MS).output;
}

struct wine_prefix {
    std::string unavailable;  // what is missing
    std::string failure;      // what went wrong with what is there
    std::string wine, wineserver, tmux;
    std::unique_ptr<temp_dir> base;

    std::string prefix() const { return *base / "prefix"; }
    std::string log() const { return *base / "wine.log"; }
    std::string dosdevices() const { return prefix() + "/dosdevices"; }
    std::string listed_com7() const { return *base / "ports/COM7"; }
    std::string tmux_socket() const { return *base / "tmux"; }

    bool find_tools();
    void create();
    void shut_host_ports_out() const;
    void remove();
};

bool wine_prefix::find_tools()
{
    // Debian's wine64 without the wrapper, which talks of a missing 32-bit Wine.
    wine = find_program({"/usr/lib/wine/wine64", "wine64", "wine"});
    wineserver = find_program({"/usr/lib/wine/wineserver64", "wineserver"});
    tmux = find_program({"tmux"});
    if (wine.empty() || wineserver.empty())
        unavailable = "Wine is not installed (Debian: apt-get install wine64 wine)";
    else if (tmux.empty())
        unavailable = "tmux is not installed";
    if (unavailable.empty() && std::string(PELMO4RIX_WINDOWS_BIN_DIR).empty())
        unavailable = "no Windows build (bash scripts/build-windows.sh makes one)";
    for (const char* program : {"pelmo4rix-trace", "pelmo4rix-update", "pelmo4rix-station", "pelmo4rix"}) {
        std::string exe = windows_program(std::string(program) + ".exe");
        if (unavailable.empty() && access(exe.c_str(), R_OK) != 0)
            unavailable = "no " + exe + " (bash scripts/build-windows.sh makes it)";
    }
    return unavailable.empty();
}

// A fresh prefix whose COM7 is the link wine_listed_com7(), and a server that stays up with the
// ports as they are mapped now.
void wine_prefix::create()
{
    base = std::make_unique<temp_dir>();
    fs::create_directory(*base / "ports");
    setenv("WINEPREFIX", prefix().c_str(), 1);
    setenv("WINEDEBUG", "-all", 1);
    setenv("WINEDLLOVERRIDES", "mscoree,mshtml=", 1);  // no offer to install .NET or a browser
    if (!getenv("HOME"))
        setenv("HOME", base->path.c_str(), 1);  // Wine wants one
    unsetenv("DISPLAY");
    unsetenv("WAYLAND_DISPLAY");
    // Wine maps its COM ports when its server starts: the Ports key is read by the next start.
    bool made = run_logged({wine, "reg", "add", "HKLM\\Software\\Wine\\Ports", "/v", "COM7", "/t", "REG_SZ", "/d",
                            listed_com7(), "/f"},
                           log(), PREFIX_START_MS) &&
                run_logged({wineserver, "-k"}, log(), COMMAND_MS) && run_logged({wineserver, "-w"}, log(), COMMAND_MS) &&
                run_logged({wineserver, SERVER_LINGER}, log(), COMMAND_MS) &&
                run_logged({wine, "reg", "query", "HKLM\\HARDWARE\\DEVICEMAP\\SERIALCOMM"}, log(), PREFIX_START_MS);
    if (made)
        shut_host_ports_out();
    else
        failure = "the Wine prefix could not be made: " + read_file(log());
}

// Wine maps the machine's own serial devices (/dev/ttyS0, ...) to COM ports. Their links now
// lead nowhere, so that no test opens them; the server keeps the mapping it made at start.
void wine_prefix::shut_host_ports_out() const
{
    for (const fs::directory_entry& entry : fs::directory_iterator(dosdevices())) {
        std::string name = entry.path().filename();
        if (name.rfind("com", 0) != 0 || !entry.is_symlink() || fs::read_symlink(entry.path()) == listed_com7())
            continue;
        fs::remove(entry.path());
        fs::create_symlink(*base / "no-such-port", entry.path());
    }
}

void wine_prefix::remove()
{
    if (!base)
        return;
    run_logged({wineserver, "-k"}, log(), COMMAND_MS);
    base.reset();
}

wine_prefix the_prefix;

// Makes the prefix before the first test and removes it after the last.
struct wine_environment : ::testing::Environment {
    void SetUp() override
    {
        if (the_prefix.find_tools())
            the_prefix.create();
    }
    void TearDown() override { the_prefix.remove(); }
};

::testing::Environment* const environment = ::testing::AddGlobalTestEnvironment(new wine_environment);

// Checks every 100 ms until `check` gives true (then true) or `ms` have passed (then false).
template <typename Check>
bool poll_until(int ms, Check check)
{
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (!check()) {
        if (std::chrono::steady_clock::now() > deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    return true;
}

std::vector<std::string> tmux_command(std::initializer_list<std::string> args)
{
    std::vector<std::string> argv = {the_prefix.tmux, "-S", the_prefix.tmux_socket(), "-f", "/dev/null"};
    argv.insert(argv.end(), args);
    return argv;
}

}  // namespace

const std::string& wine_unavailable()
{
    return the_prefix.unavailable;
}

const std::string& wine_failure()
{
    return the_prefix.failure;
}

std::string wine_listed_com7()
{
    return the_prefix.listed_com7();
}

std::string wine_dosdevices()
{
    return the_prefix.dosdevices();
}

std::string windows_program(const std::string& name)
{
    return std::string(PELMO4RIX_WINDOWS_BIN_DIR) + "/" + name;
}

bool wine_console::start(const std::string& exe, const std::string& cwd, const std::vector<std::string>& args)
{
    static int started = 0;
    pane = "program" + std::to_string(++started);
    matched.clear();
    exit_file = *the_prefix.base / (pane + ".exit");
    // A shell notes the exit code as the program ends: under load tmux has been seen to report
    // a pane's end without its status. The pane stays, so that the last screen can be read.
    std::vector<std::string> argv = tmux_command({"new-session", "-d", "-s", pane, "-x", "160", "-y", "50", "-c", cwd,
                                                  "sh", "-c", "\"$@\"; echo $? >\"$0\"", exit_file, the_prefix.wine, exe});
    argv.insert(argv.end(), args.begin(), args.end());
    argv.insert(argv.end(), {";", "set-option", "-t", pane, "remain-on-exit", "on"});
    return run_logged(argv, the_prefix.log(), COMMAND_MS);
}

std::string wine_console::screen() const
{
    std::string text = output_of(tmux_command({"capture-pane", "-p", "-J", "-S", "-", "-E", "-", "-t", pane}));
    std::string trimmed;
    std::istringstream lines(text);
    std::string line;
    while (std::getline(lines, line)) {
        line.erase(line.find_last_not_of(' ') + 1);
        trimmed += line + "\n";
    }
    return trimmed;
}

::testing::AssertionResult wine_console::wait_for(const std::string& text, int ms)
{
    std::string shown;
    bool found = poll_until(ms, [&] {
        shown = screen();
        size_t from = shown.rfind(matched, 0) == 0 ? matched.size() : 0;
        size_t at = shown.find(text, from);
        if (at != std::string::npos)
            matched = shown.substr(0, at + text.size());
        return at != std::string::npos;
    });
    if (found)
        return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << "not shown: \"" << text << "\"; the screen:\n" << shown;
}

void wine_console::type(const std::string& keys)
{
    run_logged(tmux_command({"send-keys", "-t", pane, "-l", keys}), the_prefix.log(), COMMAND_MS);
}

int wine_console::exit_code(int ms)
{
    std::string noted;
    bool ended = poll_until(ms, [&] {
        noted = read_file(exit_file);
        return !noted.empty() && noted.back() == '\n';
    });
    return ended ? std::stoi(noted) : -1;
}

void wine_console::stop()
{
    if (!pane.empty())
        run_logged(tmux_command({"kill-session", "-t", pane}), the_prefix.log(), COMMAND_MS);
    pane.clear();
}
