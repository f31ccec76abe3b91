// The entry of the three programs: they differ only in the mode word they start with.
// Arguments have no effect; the exit code is always 0.
#include <cstdio>

#include "link/state.h"
#include "tools/console.h"
#include "tools/tools.h"

#ifndef PELMO4RIX_RUN_MODE
#define PELMO4RIX_RUN_MODE 2
#endif

int main()
{
    // Progress dots and prompts without a line end must show at once.
    setvbuf(stdout, nullptr, _IONBF, 0);
    run_mode = PELMO4RIX_RUN_MODE;
    console_begin();
    clear_console();
    run_tool();
    return 0;
}
