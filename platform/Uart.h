// The ioctls that only UART drivers answer, in one place: the modem lines,
// the line error counters and the serial type. Pseudo-terminals answer none
// of them, so tests put a UartAccess of their own in front of a pty to make
// it answer as a UART does (see tests/support/UartPty.h).
//
// Threads: the termios device calls these from its event thread and from the
// owner's thread at the same time; implementations must allow that.
#pragma once

namespace platform {

// Counters of received line conditions since the driver was loaded.
struct UartCounters {
    int Frame = 0;
    int Overrun = 0; // the UART's receive register overran
    int Parity = 0;
    int Break = 0;
    int BufferOverrun = 0; // the tty's input buffer overflowed
};

class UartAccess {
public:
    virtual ~UartAccess() = default;
    // Each answers as the ioctl does: 0, or -1 with errno set (ENOTTY or
    // EINVAL when the driver has no such ioctl, EIO when no hardware is
    // behind the node or the device has gone).
    // TIOCMGET: the TIOCM_* bits of the modem lines.
    virtual int ModemLines(int fd, int& bits);
    // TIOCGICOUNT.
    virtual int Counters(int fd, UartCounters& counters);
    // TIOCGSERIAL: the serial type (PORT_UNKNOWN 0 when no UART is there).
    virtual int SerialType(int fd, int& type);
};

// The real ioctls.
UartAccess& SystemUart();

} // namespace platform
