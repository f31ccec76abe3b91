#include "link/pause.h"

#include "link/os_port.h"

pause_log pauses;

void pause_ms(int ms)
{
    pauses.count++;
    pauses.total_ms += ms;
    if (pauses.sleep)
        os_sleep_ms(ms);
}
