// Arbitrary serial rates through the termios2 ioctls (BOTHER).
#include "serial_rate.h"

#include <asm/termbits.h>
#include <sys/ioctl.h>

bool setCustomRate(int fd, int baud) {
    struct termios2 tio {};
    if (ioctl(fd, TCGETS2, &tio) != 0) {
        return false;
    }
    tio.c_cflag &= ~static_cast<tcflag_t>(CBAUD | (CBAUD << IBSHIFT));
    tio.c_cflag |= BOTHER | (BOTHER << IBSHIFT);
    tio.c_ispeed = static_cast<speed_t>(baud);
    tio.c_ospeed = static_cast<speed_t>(baud);
    return ioctl(fd, TCSETS2, &tio) == 0;
}

long reportedRate(int fd) {
    // The kernel keeps the rate in effect here, also for a standard rate
    // and after a driver put another one in its place.
    struct termios2 tio {};
    if (ioctl(fd, TCGETS2, &tio) != 0) {
        return -1;
    }
    return static_cast<long>(tio.c_ospeed);
}
