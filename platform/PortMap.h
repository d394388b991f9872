// COM numbers to device paths, the exclusive open of a serial device with its
// error classes, and the quick probe used by the port chooser.
//
// COM n is KELVOX_PORT_DIR/COM<n> when that variable is set (no entry: the
// port does not exist); otherwise COM1-32 are /dev/ttyS0-31, COM33-64
// /dev/ttyUSB0-31, COM65-96 /dev/ttyACM0-31, COM97-128 /dev/ttyAMA0-31, and
// higher numbers do not exist. The variable is read at every call, so tests
// may set it at run time. All functions are safe on any thread.
#pragma once

#include "platform/CommDevice.h"

#include <string>

namespace platform {

// The device path of COM n, or an empty string when no such port can exist.
std::string ComPortPath(int comNumber);

// Result of OpenPortDescriptor.
struct PortOpenResult {
    int Fd = -1; // the open, exclusively held descriptor; -1 on failure
    CommOpenError Error = CommOpenError::None;
    int SystemError = 0;
};

// Opens `path` the way a COM port is opened: read/write, no controlling
// terminal, non-blocking, close-on-exec; then flock(LOCK_EX|LOCK_NB) and the
// tty's exclusive flag (a port already exclusive counts as in use, also for
// root). Input is not flushed: the device may already be talking.
// ENOENT, ENXIO, ENODEV and EIO (a tty node without hardware) are NotFound;
// every other failure is CannotOpen. EACCES prints, once per process, a hint
// about the dialout group to stderr.
PortOpenResult OpenPortDescriptor(const std::string& path);

// Undoes OpenPortDescriptor: clears the exclusive flag, discards unsent
// output (so close cannot stall on a blocked line) and closes. fd < 0 is
// left alone.
void ClosePortDescriptor(int fd);

// Result of probing one port for the port chooser.
enum class PortProbe { Free, InUse, Absent };

// Opens COM n as a real open does and closes it again at once. A port held
// open by this very process reads InUse. With a test factory installed the
// probe opens through it (and releases the device at once).
PortProbe ProbeComPort(int comNumber);

} // namespace platform
