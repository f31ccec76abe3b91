// The speed the program set on its side of the pseudo-terminal, whatever the rate: termios2
// gives it in baud, also one set with BOTHER. Its own file because the kernel's termios2
// header and the C library's termios.h can't meet in one file.
#include <asm/termbits.h>
#include <sys/ioctl.h>

#include "pty.h"

namespace vunit_detail {

uint32_t line_speed(int master)
{
    // On Linux the master reports the terminal side's settings (ptys keep one speed for both
    // directions).
    struct termios2 t;
    return ioctl(master, TCGETS2, &t) == 0 ? t.c_ospeed : 0;
}

}  // namespace vunit_detail
