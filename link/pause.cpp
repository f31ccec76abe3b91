#include "link/pause.h"

#include <cstdio>

#include "link/console_print.h"
#include "link/os_port.h"

pause_log pauses;

void pause_ms(int ms)
{
    fflush(stdout);  // what was printed shows before the wait, not after it
    console_flush();
    pauses.count++;
    pauses.total_ms += ms;
    if (pauses.sleep)
        os_sleep_ms(ms);
}
