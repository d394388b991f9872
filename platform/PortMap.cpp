#include "platform/PortMap.h"

#include "platform/SysRetry.h"

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

namespace platform {

namespace {

std::atomic<bool> dialoutHintShown{false};

void ShowDialoutHintOnce(const std::string& path) {
    if (dialoutHintShown.exchange(true))
        return;
    std::fprintf(stderr,
                 "kelvox: no permission to open %s; you may need to join the 'dialout' group "
                 "(sudo usermod -aG dialout $USER, then log in again)\n",
                 path.c_str());
}

void CloseRetryless(int fd) {
    // close() must not be retried on EINTR: the descriptor is gone either way.
    ::close(fd);
}

} // namespace

std::string ComPortPath(int comNumber) {
    if (comNumber <= 0)
        return {};
    if (const char* dir = std::getenv("KELVOX_PORT_DIR"); dir != nullptr) {
        std::string path = dir;
        if (path.empty())
            return {};
        if (path.back() != '/')
            path += '/';
        return path + "COM" + std::to_string(comNumber);
    }
    static const char* const families[] = {"/dev/ttyS", "/dev/ttyUSB", "/dev/ttyACM",
                                           "/dev/ttyAMA"};
    const int index = (comNumber - 1) / 32;
    if (index >= 4)
        return {};
    return std::string(families[index]) + std::to_string((comNumber - 1) % 32);
}

PortOpenResult OpenPortDescriptor(const std::string& path) {
    PortOpenResult result;
    if (path.empty()) {
        result.Error = CommOpenError::NotFound;
        result.SystemError = ENOENT;
        return result;
    }
    const int fd = RetryOnEintr(
        [&] { return ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC); });
    if (fd < 0) {
        const int err = errno;
        result.SystemError = err;
        // EIO: a /dev/ttyS node whose UART is not there.
        if (err == ENOENT || err == ENXIO || err == ENODEV || err == EIO || err == ENOTDIR) {
            result.Error = CommOpenError::NotFound;
        } else {
            result.Error = CommOpenError::CannotOpen;
            if (err == EACCES)
                ShowDialoutHintOnce(path);
        }
        return result;
    }

    // A plain file or a directory linked as a port is no serial device.
    if (!::isatty(fd)) {
        CloseRetryless(fd);
        result.Error = CommOpenError::NotFound;
        result.SystemError = ENOTTY;
        return result;
    }

    // flock conflicts between open file descriptions, also within this
    // process, so a port this process already holds reads "in use".
    const int r = RetryOnEintr([&] { return ::flock(fd, LOCK_EX | LOCK_NB); });
    if (r < 0) {
        result.SystemError = errno == EWOULDBLOCK ? EBUSY : errno;
        result.Error = CommOpenError::CannotOpen;
        CloseRetryless(fd);
        return result;
    }

    // The tty's exclusive flag keeps other openers out (root ignores it, so
    // it is checked here explicitly). Drivers without it answer ENOTTY or
    // EINVAL; flock alone then guards the port.
    int exclusive = 0;
    if (IoctlRetry(fd, TIOCGEXCL, &exclusive) == 0 && exclusive != 0) {
        result.SystemError = EBUSY;
        result.Error = CommOpenError::CannotOpen;
        CloseRetryless(fd);
        return result;
    }
    IoctlRetry(fd, TIOCEXCL, nullptr);

    result.Fd = fd;
    return result;
}

void ClosePortDescriptor(int fd) {
    if (fd < 0)
        return;
    IoctlRetry(fd, TIOCNXCL, nullptr);
    // Unsent output on a stalled line can hold close() for up to 30 s.
    RetryOnEintr([&] { return ::tcflush(fd, TCOFLUSH); });
    CloseRetryless(fd);
}

PortProbe ProbeComPort(int comNumber) {
    if (HasCommDeviceFactoryForTests()) {
        CommOpenResult opened = OpenCommDevice(comNumber);
        switch (opened.Error) {
        case CommOpenError::None:
            return PortProbe::Free;
        case CommOpenError::NotFound:
            return PortProbe::Absent;
        case CommOpenError::CannotOpen:
            return PortProbe::InUse;
        }
        return PortProbe::InUse;
    }
    const std::string path = ComPortPath(comNumber);
    if (path.empty())
        return PortProbe::Absent;
    // A missing node is the common case on machines without such ports;
    // answering it without open() keeps a 255-port scan cheap.
    if (::access(path.c_str(), F_OK) != 0 && (errno == ENOENT || errno == ENOTDIR))
        return PortProbe::Absent;
    PortOpenResult opened = OpenPortDescriptor(path);
    if (opened.Fd >= 0) {
        ClosePortDescriptor(opened.Fd);
        return PortProbe::Free;
    }
    return opened.Error == CommOpenError::NotFound ? PortProbe::Absent : PortProbe::InUse;
}

} // namespace platform
