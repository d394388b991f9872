#include "platform/Uart.h"

#include "platform/SysRetry.h"

#include <linux/serial.h>
#include <sys/ioctl.h>

namespace platform {

int UartAccess::ModemLines(int fd, int& bits) {
    return IoctlRetry(fd, TIOCMGET, &bits);
}

int UartAccess::Counters(int fd, UartCounters& counters) {
    serial_icounter_struct ic{};
    if (IoctlRetry(fd, TIOCGICOUNT, &ic) < 0)
        return -1;
    counters.Frame = ic.frame;
    counters.Overrun = ic.overrun;
    counters.Parity = ic.parity;
    counters.Break = ic.brk;
    counters.BufferOverrun = ic.buf_overrun;
    return 0;
}

int UartAccess::SerialType(int fd, int& type) {
    serial_struct info{};
    if (IoctlRetry(fd, TIOCGSERIAL, &info) < 0)
        return -1;
    type = info.type;
    return 0;
}

UartAccess& SystemUart() {
    static UartAccess uart;
    return uart;
}

} // namespace platform
