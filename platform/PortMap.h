// COM numbers to device paths, and the exclusive open and the probe of a
// serial device that the termios back end uses.
//
// COM n is KELVOX_PORT_DIR/COM<n> when that variable is set (no entry: the
// port does not exist). Otherwise a number mapped in the [Ports] table of the
// settings file (platform/PortNames.h) is its mapped path; the others follow
// the default map: COM1-32 are /dev/ttyS0-31, COM33-64 /dev/ttyUSB0-31,
// COM65-96 /dev/ttyACM0-31, COM97-128 /dev/ttyAMA0-31, and higher numbers do
// not exist. The variable is read at every call, so tests may set it at run
// time. All functions are safe on any thread.
#pragma once

#include "platform/CommDevice.h"
#include "platform/SysRetry.h"
#include "platform/Uart.h"

#include <string>
#include <sys/types.h>
#include <vector>

namespace platform {

// The device path of COM n, or an empty string when no such port can exist.
std::string ComPortPath(int comNumber);

// Where a port open looks besides the device itself.
struct PortOpenContext {
    UartAccess* Uart = &SystemUart();  // the UART ioctls
    std::string LockDir = "/var/lock"; // UUCP lock files (LCK..<name>)
    bool ReadOnly = false;             // open for listening only (O_RDONLY)
};

// Result of OpenPortDescriptor.
struct PortOpenResult {
    int Fd = -1; // the open, exclusively held descriptor, now the caller's; -1 on failure
    CommOpenError Error = CommOpenError::None;
    int SystemError = 0;
    // The port's exclusive flag was left by a process that has gone (killed,
    // crashed): no other process has the device open and its flock was
    // free. It was taken over; the caller says so once.
    bool StaleExclusiveCleared = false;
};

// The character devices (st_rdev) that processes other than this one hold
// open, as far as /proc shows them to this user (all of them to root). A
// process that holds a pseudo-terminal's master beside its slave is that
// terminal's far end (a simulator, socat, ser2net), not a user of the port.
// With ownFd, this process counts too, all but that descriptor.
std::vector<dev_t> DevicesOpenElsewhere(int ownFd = -1);

// Opens `path` the way a COM port is opened: read/write (read-only when the
// context says so), no controlling
// terminal, non-blocking, close-on-exec; then flock(LOCK_EX|LOCK_NB) and the
// tty's exclusive flag (a port already exclusive counts as in use, also for
// root, unless the flag is stale: see StaleExclusiveCleared; only root can
// open an exclusive port to find out). Input is not flushed: the device
// may already be talking.
// A path that is no character device is NotFound (ENOTTY) without being
// opened. A node that is no tty or a pseudo-terminal master (ENOTTY), or a
// serial node with no UART behind it (serial
// type PORT_UNKNOWN, or EIO from the first driver ioctl), is NotFound; a
// UUCP lock file naming a live process makes the port in use (EBUSY). Other
// errors are classed by OpenErrorOf. EACCES prints, once per process, the
// permission hint to stderr.
PortOpenResult OpenPortDescriptor(const std::string& path, const PortOpenContext& context = {});

// Undoes OpenPortDescriptor: clears the exclusive flag and closes.
// flushOutput discards unsent output first, so that close cannot stall on a
// blocked line; a probe leaves it to the port's other users. fd < 0 is left
// alone.
void ClosePortDescriptor(int fd, bool flushOutput = true);

// The termios back end's probe of `path`: opens it as a real open does and
// closes it again at once, without flushing.
PortProbe ProbePortPath(const std::string& path, const PortOpenContext& context);

} // namespace platform
