#include "link/console_print.h"

#include <cstdarg>

FILE* console_stream = stdout;

void console_print(const char* format, ...)
{
    if (!console_stream)
        return;
    va_list args;
    va_start(args, format);
    vfprintf(console_stream, format, args);
    va_end(args);
}

void console_flush()
{
    if (console_stream)
        fflush(console_stream);
}
