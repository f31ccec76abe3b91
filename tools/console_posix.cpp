// Console operations on a POSIX terminal. A key is read in non-canonical mode without echo,
// the terminal's settings restored at once; signals stay on, so Ctrl+C still stops a tool.
// End of input reads as 'q', so no tool waits or loops on a closed input.
#include "tools/console.h"

#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

namespace {

constexpr int END_OF_INPUT_KEY = 'q';

// Runs `body` with standard input in non-canonical mode without echo, when it is a terminal.
template <typename Body>
int with_raw_keys(Body body)
{
    termios saved;
    bool terminal = tcgetattr(STDIN_FILENO, &saved) == 0;
    if (terminal) {
        termios raw = saved;
        raw.c_lflag &= ~(ICANON | ECHO);
        raw.c_cc[VMIN] = 1;
        raw.c_cc[VTIME] = 0;
        tcsetattr(STDIN_FILENO, TCSANOW, &raw);
    }
    int result = body();
    if (terminal)
        tcsetattr(STDIN_FILENO, TCSANOW, &saved);
    return result;
}

}  // namespace

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
    return with_raw_keys([] {
        unsigned char key;
        for (;;) {
            ssize_t r = read(STDIN_FILENO, &key, 1);
            if (r == 1)
                return static_cast<int>(key);
            if (r == 0 || errno != EINTR)
                return END_OF_INPUT_KEY;
        }
    });
}

int key_waiting()
{
    // A terminal in canonical mode holds a key back until ENTER: look in non-canonical mode.
    return with_raw_keys([] {
        pollfd p = {STDIN_FILENO, POLLIN, 0};
        return poll(&p, 1, 0) > 0 ? 1 : 0;  // end of input and hang-up count as a key
    });
}

int read_input_char()
{
    fflush(stdout);
    int c = getchar();
    return c == EOF ? END_OF_INPUT_KEY : c;
}
