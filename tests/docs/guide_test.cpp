// The engineer's guide followed as written: its marked blocks run in one shell, in the guide's
// order, against virtual units and a private PostgreSQL server. Every command must end as the
// guide shows (exit code 0, or the code it echoes) and print the lines the guide shows under it.
//
// Markers: a code block between "<!-- doc-test -->" and "<!-- end doc-test -->" is run;
// "<!-- doc-test superuser -->" runs it as the server's superuser. A block whose lines start
// with "$ " is a session: each command runs in the one shell (exports and background units
// carry over to the later blocks), and the lines under it must be among what it printed,
// standard error included. Any other block is a script, run whole in a subshell that stops at
// its first failing command.
//
// Matching a shown line: blanks at its ends don't count and a run of blanks counts as one;
// every run of digits matches any run of digits (times, counts and process ids differ from run
// to run); a line "..." stands for lines left out, and a line ending in "..." matches any line
// that begins with what comes before. A command put in the background ("&") is given until its
// first line of output (at most 10 s) to start, as a reader waits for the unit's port name.
//
// Placeholders, replaced in the blocks and in the lines they show: "/tmp/" by a private
// directory; "dbhost" by 127.0.0.1 and "5432" by the server's port (PGPORT is set to it too);
// ADMIN-PASSWORD and STATION-PASSWORD by the test's passwords, and a password prompt gets the
// first (every script's standard input holds it twice). `build/` is the build directory, first
// in PATH, so that `pelmo4rix` is the one built; HOME is the private directory.
#include <unistd.h>

#include <sstream>

#include "support/pg_server.h"
#include "support/support.h"

namespace {

constexpr char ADMIN_PASSWORD[] = "doc-admin-pw";
constexpr char STATION_PASSWORD[] = "doc-station-pw";
constexpr int SESSION_TIMEOUT_MS = 600000;  // four programmings at line rate and a gang, on a busy machine
constexpr char MARK[] = "@@doc-test ";

struct doc_command {
    int line;                         // in the guide
    std::string text;                 // the command, or the whole script
    std::vector<std::string> shown;   // the lines the guide shows under it
    bool script = false;
    bool superuser = false;
};

std::string trimmed(const std::string& text)
{
    size_t first = text.find_first_not_of(" \t"), last = text.find_last_not_of(" \t");
    return first == std::string::npos ? "" : text.substr(first, last - first + 1);
}

bool starts_with(const std::string& text, const std::string& head) { return text.rfind(head, 0) == 0; }

// Blanks at the ends dropped, runs of blanks as one, runs of digits as '#'.
std::string normalised(const std::string& line)
{
    std::string out;
    for (char c : trimmed(line)) {
        const bool blank = c == ' ' || c == '\t', digit = c >= '0' && c <= '9';
        if (blank && !out.empty() && out.back() == ' ')
            continue;
        if (digit && !out.empty() && out.back() == '#')
            continue;
        out += blank ? ' ' : digit ? '#' : c;
    }
    return out;
}

bool shown_line_matches(const std::string& shown, const std::string& printed)
{
    const std::string want = normalised(shown), got = normalised(printed);
    const size_t dots = want.size() >= 3 && want.compare(want.size() - 3, 3, "...") == 0 ? 3 : 0;
    return dots ? starts_with(got, trimmed(want.substr(0, want.size() - dots))) : got == want;
}

std::string replaced(std::string text, const std::string& from, const std::string& to)
{
    for (size_t at = 0; (at = text.find(from, at)) != std::string::npos; at += to.size())
        text.replace(at, from.size(), to);
    return text;
}

// The code lines of each marked block, with the block's first line in the guide.
std::vector<doc_command> marked_commands(const std::string& guide)
{
    std::vector<doc_command> commands;
    std::istringstream in(guide);
    std::string line;
    int number = 0, block_line = 0;
    bool inside = false, superuser = false, fenced = false;
    std::vector<std::string> code;
    while (std::getline(in, line)) {
        number++;
        if (starts_with(line, "<!-- doc-test")) {
            inside = true;
            superuser = line.find("superuser") != std::string::npos;
            code.clear();
            block_line = number;
            continue;
        }
        if (!inside)
            continue;
        if (starts_with(line, "<!-- end doc-test")) {
            inside = false;
            while (!code.empty() && trimmed(code.back()).empty())
                code.pop_back();
            if (code.empty() || !starts_with(code.front(), "$ ")) {
                std::string script;
                for (const std::string& c : code)
                    script += c + "\n";
                commands.push_back({block_line, script, {}, true, superuser});
                continue;
            }
            for (const std::string& c : code) {
                if (starts_with(c, "$ "))
                    commands.push_back({block_line, c.substr(2), {}, false, superuser});
                else if (!commands.back().script && commands.back().text.back() == '\\')
                    commands.back().text += "\n" + c;  // a command continued on the next line
                else
                    commands.back().shown.push_back(c);
            }
            continue;
        }
        if (starts_with(line, "```")) {
            fenced = !fenced;
        } else if (fenced) {
            code.push_back(line);
        } else if (starts_with(line, "    ") || (trimmed(line).empty() && !code.empty())) {
            code.push_back(line.size() > 4 ? line.substr(4) : "");
        }
    }
    return commands;
}

// The shell script of the whole session; each command's output follows a begin mark and
// ends with its exit mark.
std::string session_script(const std::vector<doc_command>& commands, const std::string& work, const pg_server& server)
{
    const std::string bin = PELMO4RIX_BIN_DIR;
    std::string script = "exec 2>&1\nset -o pipefail\ntrap 'kill $(jobs -p) 2>/dev/null; wait' EXIT\n"
                         "unset PELMO4RIX_DEVICE_DIR PELMO4RIX_POOL PGHOST PGUSER PGDATABASE PGSERVICE PGPASSWORD "
                         "PGPASSFILE PGSERVICEFILE\n"
                         "export HOME=" + work + " PGPORT=" + std::to_string(server.port) + " PATH=" + bin + ":" + bin +
                         "/vunit:" + pg_server::bin_dir() + ":$PATH\n"
                         "cd " + work + "\n";
    for (size_t i = 0; i < commands.size(); i++) {
        const doc_command& c = commands[i];
        const std::string n = std::to_string(i);
        script += "echo '" + std::string(MARK) + n + " begin'\n";
        if (c.script) {
            script += "(\n";
            if (c.superuser)
                script += "export PGHOST=" + server.home + " PGUSER=postgres\n";
            script += "set -e\n" + c.text + ") < typed\n";
        } else if (trimmed(c.text).back() == '&') {
            // Started once it says so: its first line, copied to a file the shell can watch.
            const std::string command = trimmed(c.text);
            script += "rm -f .started\n" + command.substr(0, command.size() - 1) + " > >(tee .started) &\n" +
                      "for i in $(seq 100); do [ -s .started ] && break; sleep 0.1; done\n";
        } else {
            script += c.text + "\n";
        }
        script += "echo \"" + std::string(MARK) + n + " exit $?\"\n";
    }
    return script + "echo '" + MARK + "end'\n";
}

// What command `n` printed, and its exit code (-1 when it never ended).
std::string printed_by_command(const std::string& output, size_t n, int& exit_code)
{
    const std::string begin = MARK + std::to_string(n) + " begin\n";
    const std::string ends = MARK + std::to_string(n) + " exit ";
    exit_code = -1;
    size_t from = output.find(begin);
    if (from == std::string::npos)
        return "";
    from += begin.size();
    size_t next = output.find(MARK + std::to_string(n + 1) + " begin\n", from);
    if (next == std::string::npos)
        next = output.find(std::string(MARK) + "end", from);
    std::string text = output.substr(from, next == std::string::npos ? std::string::npos : next - from);
    size_t end = text.find(ends);
    if (end != std::string::npos) {
        exit_code = atoi(text.c_str() + end + ends.size());
        text.erase(end, text.find('\n', end) + 1 - end);
    }
    return text;
}

TEST(engineers_guide, its_marked_blocks_run_as_written)
{
    pg_server server;
    START_PG_SERVER(server);
    temp_dir work;
    ASSERT_EQ(symlink(PELMO4RIX_BIN_DIR, (work / "build").c_str()), 0);
    write_file(work / "typed", std::string(ADMIN_PASSWORD) + "\n" + ADMIN_PASSWORD + "\n");

    const auto substituted = [&](std::string text) {
        text = replaced(text, "/tmp/", work.path + "/tmp/");
        text = replaced(text, "dbhost", "127.0.0.1");
        text = replaced(text, "5432", std::to_string(server.port));
        text = replaced(text, "ADMIN-PASSWORD", ADMIN_PASSWORD);
        return replaced(text, "STATION-PASSWORD", STATION_PASSWORD);
    };
    std::vector<doc_command> commands = marked_commands(read_file(std::string(PELMO4RIX_SOURCE_DIR) + "/docs/engineer.md"));
    ASSERT_FALSE(commands.empty()) << "no marked blocks in docs/engineer.md";
    for (doc_command& c : commands) {
        c.text = substituted(c.text);
        for (std::string& line : c.shown)
            line = substituted(line);
    }
    write_file(work / "session.sh", session_script(commands, work.path, server));
    run_result session = run_program({"/usr/bin/setsid", "/bin/bash", work / "session.sh"}, work.path, "", false,
                                     SESSION_TIMEOUT_MS);

    for (size_t i = 0; i < commands.size(); i++) {
        const doc_command& c = commands[i];
        int exit_code;
        const std::string printed = printed_by_command(session.output, i, exit_code);
        std::vector<std::string> lines;
        std::istringstream in(printed);
        for (std::string line; std::getline(in, line);)
            lines.push_back(line);
        int missing = 0;
        for (const std::string& shown : c.shown) {
            if (trimmed(shown) == "...")
                continue;
            bool found = false;
            for (const std::string& line : lines)
                found = found || shown_line_matches(shown, line);
            if (!found) {
                ADD_FAILURE() << "docs/engineer.md, block at line " << c.line << ": " << c.text
                              << "\ndid not print the line: " << shown << "\nit printed:\n" << printed;
                missing++;
            }
        }
        ASSERT_EQ(exit_code, 0) << "docs/engineer.md, block at line " << c.line << ": " << c.text << "\nprinted:\n"
                                << printed;
        ASSERT_EQ(missing, 0) << "the later blocks build on this one";
    }
}

}  // namespace
