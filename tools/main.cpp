// The entry of the three programs: they differ only in the mode word they start with.
// Arguments have no effect; the exit code is always 0.
#include <cstdio>

#include "link/state.h"
#include "tools/console.h"
#include "tools/tools.h"

namespace {
constexpr size_t OUTPUT_BUFFER = 4096;  // longer than any line the tools print
}  // namespace

#ifndef PELMO4RIX_RUN_MODE
#define PELMO4RIX_RUN_MODE 2
#endif

int main()
{
    // A line at a time, not a byte at a time (a console may show each write on its own). The
    // Windows run-time buffers fully even when asked for lines, so every wait (for a key, a
    // line, a pause, a reply or the trace) first flushes what was printed before it.
    setvbuf(stdout, nullptr, _IOLBF, OUTPUT_BUFFER);
    run_mode = PELMO4RIX_RUN_MODE;
    console_begin();
    clear_console();
    run_tool();
    return 0;
}
