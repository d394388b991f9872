// Arbitrary line rates through the kernel's termios2 interface. This file
// must not include <termios.h>: the kernel's termbits header defines a
// struct termios of its own.
#include <asm/termbits.h>
#include <cerrno>
#include <sys/ioctl.h>

#include "platform/SysRetry.h"

namespace platform::detail {

bool SetArbitraryRate(int fd, unsigned rate) {
    if (rate == 0) {
        errno = EINVAL;
        return false;
    }
    struct termios2 t {};
    if (IoctlRetry(fd, TCGETS2, &t) < 0)
        return false;
    // BOTHER on the output bits only, CIBAUD clear: the input follows the
    // output, so a later standard rate (which sets the output bits alone)
    // moves both.
    t.c_cflag &= ~(CBAUD | CIBAUD);
    t.c_cflag |= BOTHER;
    t.c_ispeed = rate;
    t.c_ospeed = rate;
    return IoctlRetry(fd, TCSETS2, &t) == 0;
}

bool GetArbitraryRate(int fd, unsigned& rate) {
    struct termios2 t {};
    if (IoctlRetry(fd, TCGETS2, &t) < 0)
        return false;
    rate = t.c_ospeed;
    return true;
}

} // namespace platform::detail
