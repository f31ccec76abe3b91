// Console operations on a POSIX terminal. For the whole run of a tool the terminal stays in
// non-canonical mode without echo, so a key pressed at any moment is neither shown nor taken
// by the terminal's line editing; signals stay on, so Ctrl+C still stops a tool. The mode is
// restored at exit and when a signal ends the program.
// End of input reads as 'q', so no tool waits or loops on a closed input.
#include "tools/console.h"

#include <poll.h>
#include <signal.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>

#include "tools/tools.h"

namespace {

constexpr int END_OF_INPUT_KEY = 'q';
constexpr int ESCAPE = 0x1B;
constexpr int SEQUENCE_GAP_MS = 20;   // the bytes of one key arrive together, well inside this
constexpr int LONGEST_SEQUENCE = 16;  // bytes after ESC that one key may send
const int ENDING_SIGNALS[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT};

termios saved_mode;
volatile sig_atomic_t keys_mode_set = 0;  // the terminal is in our mode and must be restored

void set_mode(const termios& mode)
{
    tcsetattr(STDIN_FILENO, TCSANOW, &mode);
}

void keys_mode(const termios& from)
{
    termios keys = from;
    keys.c_lflag &= ~(ICANON | ECHO);
    keys.c_cc[VMIN] = 1;
    keys.c_cc[VTIME] = 0;
    set_mode(keys);
}

// Runs `body` with the terminal in keys mode: it is so for the whole run after console_begin;
// a caller that did not begin (a test running a tool in-process) gets it for this call only.
template <typename Body>
int with_keys_mode(Body body)
{
    termios before;
    bool for_this_call = !keys_mode_set && tcgetattr(STDIN_FILENO, &before) == 0;
    if (for_this_call)
        keys_mode(before);
    int result = body();
    if (for_this_call)
        set_mode(before);
    return result;
}

void restore_terminal()
{
    if (keys_mode_set)
        set_mode(saved_mode);  // tcsetattr is safe in a signal handler
}

void end_by_signal(int signal)
{
    restore_terminal();
    release_at_interrupt();
    ::signal(signal, SIG_DFL);
    raise(signal);  // end as the signal would have ended the program, exit status included
}

// A byte of the same key press that follows within the gap, or -1.
int next_byte_of_key()
{
    pollfd p = {STDIN_FILENO, POLLIN, 0};
    unsigned char byte;
    if (poll(&p, 1, SEQUENCE_GAP_MS) <= 0 || read(STDIN_FILENO, &byte, 1) != 1)
        return -1;
    return byte;
}

// Swallows the rest of a key that sends several bytes: an escape sequence (arrow and
// function keys, Alt with a key) or a character of several bytes in UTF-8.
void skip_rest_of_key(unsigned char first)
{
    if (first == ESCAPE) {
        int second = next_byte_of_key();
        if (second != '[' && second != 'O')
            return;  // a lone ESC, or Alt with one key: both bytes are taken
        for (int i = 0; i < LONGEST_SEQUENCE; i++) {
            int byte = next_byte_of_key();
            bool final_byte = byte >= 0x40 && byte <= 0x7E;  // ends a CSI sequence
            if (byte < 0 || final_byte || second == 'O')
                return;
        }
        return;
    }
    int continuation = first >= 0xF0 ? 3 : first >= 0xE0 ? 2 : first >= 0xC0 ? 1 : 0;
    for (int i = 0; i < continuation; i++)
        if (next_byte_of_key() < 0)
            return;
}

}  // namespace

void console_begin()
{
    struct sigaction action = {};
    action.sa_handler = end_by_signal;
    sigemptyset(&action.sa_mask);
    for (int s : ENDING_SIGNALS)
        sigaddset(&action.sa_mask, s);  // one handler at a time
    for (int s : ENDING_SIGNALS)
        sigaction(s, &action, nullptr);
    if (tcgetattr(STDIN_FILENO, &saved_mode) != 0)
        return;  // not a terminal: keys are the bytes of the input as they come
    keys_mode(saved_mode);
    keys_mode_set = 1;
    atexit(restore_terminal);
}

void clear_console()
{
    if (isatty(STDOUT_FILENO)) {
        fputs("\033[H\033[2J", stdout);
        fflush(stdout);
    }
}

int read_key()
{
    fflush(stdout);
    return with_keys_mode([] {
        unsigned char key;
        for (;;) {
            ssize_t r = read(STDIN_FILENO, &key, 1);
            if (r == 1)
                break;
            if (r == 0 || errno != EINTR)
                return END_OF_INPUT_KEY;
        }
        if (isatty(STDIN_FILENO))
            skip_rest_of_key(key);
        return static_cast<int>(key);
    });
}

int key_waiting()
{
    // A terminal in canonical mode holds a key back until ENTER: look in keys mode.
    return with_keys_mode([] {
        pollfd p = {STDIN_FILENO, POLLIN, 0};
        return poll(&p, 1, 0) > 0 ? 1 : 0;  // end of input and hang-up count as a key
    });
}

int read_input_char()
{
    fflush(stdout);
    // This one waits for ENTER: the terminal's own line editing, with echo, for the moment.
    if (keys_mode_set)
        set_mode(saved_mode);
    int c = getchar();
    if (keys_mode_set)
        keys_mode(saved_mode);
    return c == EOF ? END_OF_INPUT_KEY : c;
}
