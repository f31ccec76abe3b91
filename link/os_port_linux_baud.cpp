#include "link/os_port_linux_baud.h"

#include <asm/termbits.h>
#include <sys/ioctl.h>

bool set_any_baud(int fd, uint32_t baud)
{
    struct termios2 t;
    if (ioctl(fd, TCGETS2, &t) != 0)
        return false;
    t.c_cflag &= ~(CBAUD | CBAUD << IBSHIFT);
    t.c_cflag |= BOTHER | BOTHER << IBSHIFT;
    t.c_ispeed = t.c_ospeed = baud;
    return ioctl(fd, TCSETS2, &t) == 0;
}

uint32_t actual_baud(int fd)
{
    struct termios2 t;
    return ioctl(fd, TCGETS2, &t) == 0 ? t.c_ospeed : 0;
}
