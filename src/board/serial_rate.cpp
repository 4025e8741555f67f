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
    if (ioctl(fd, TCSETS2, &tio) != 0) {
        return false;
    }
    // A driver may round the rate to what its clock can make; it refuses
    // the rate when it leaves no rate at all.
    return ioctl(fd, TCGETS2, &tio) == 0 && tio.c_ospeed != 0;
}
