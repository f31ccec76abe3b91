// Console operations on Windows. At a console, keys come from the console's own key queue
// (no echo, no ENTER). When standard input is a pipe or a file, keys are its bytes, read one
// at a time straight from the handle so that no buffer hides a key from key_waiting.
// End of input reads as 'q', so no tool waits or loops on a closed input.
#include "tools/console.h"

#include <conio.h>
#include <windows.h>

#include <cstdio>
#include <cstdlib>

namespace {

constexpr int END_OF_INPUT_KEY = 'q';

HANDLE input_handle()
{
    return GetStdHandle(STD_INPUT_HANDLE);
}

bool is_console(HANDLE handle)
{
    DWORD mode;
    return GetConsoleMode(handle, &mode);
}

// One byte of a redirected standard input; end of input or a failed read gives 'q'.
int read_input_byte()
{
    unsigned char byte;
    DWORD got = 0;
    if (!ReadFile(input_handle(), &byte, 1, &got, nullptr) || got != 1)
        return END_OF_INPUT_KEY;
    return byte;
}

// At a console: the next key press, without echo.
int read_console_key()
{
    int key = _getch();
    // Function and arrow keys come as a prefix and a second code: take both as one press.
    if (key == 0 || key == 0xE0)
        _getch();
    return key;
}

}  // namespace

void console_begin()
{
    // The console hands out key presses without echo as it is: nothing to prepare.
}

void clear_console()
{
    // "cls" writes a form feed when output is redirected: clear only a real console.
    if (!is_console(GetStdHandle(STD_OUTPUT_HANDLE)))
        return;
    fflush(stdout);  // text printed before the clear belongs above it, not below
    (void)system("cls");
}

int read_key()
{
    fflush(stdout);
    return is_console(input_handle()) ? read_console_key() : read_input_byte();
}

int key_waiting()
{
    HANDLE input = input_handle();
    if (is_console(input)) {
        // Some consoles (Wine's on a terminal) take typed keys into the input queue only for a
        // reader or a waiter: a wait with no time-out brings them in without blocking.
        WaitForSingleObject(input, 0);
        return _kbhit() ? 1 : 0;
    }
    if (GetFileType(input) != FILE_TYPE_PIPE)
        return 1;  // a file (or the null device) always has a byte or its end to read
    DWORD available = 0;
    // A pipe whose writer is gone fails the peek: its end of input counts as a key.
    if (!PeekNamedPipe(input, nullptr, 0, nullptr, &available, nullptr))
        return 1;
    return available > 0 ? 1 : 0;
}

int read_input_char()
{
    fflush(stdout);
    if (!is_console(input_handle()))
        return read_input_byte();
    int c = getchar();
    return c == EOF ? END_OF_INPUT_KEY : c;
}
