#include "platform/PortMap.h"

#include "platform/PortNames.h"
#include "platform/SysRetry.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <fstream>
#include <linux/serial.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <termios.h>
#include <unistd.h>

namespace platform {

namespace {

std::atomic<bool> dialoutHintShown{false};

void ShowHintOnce(const std::string& hint) {
    if (!hint.empty() && !dialoutHintShown.exchange(true))
        std::fprintf(stderr, "kelvox: %s\n", hint.c_str());
}

// The UUCP lock file of a device: LCK..<name>, where name is the device's
// path below /dev with '/' turned into '_' (LCK..ttyUSB0, LCK..pts_3).
std::string LockFilePath(const std::string& path, const std::string& lockDir) {
    char resolved[PATH_MAX];
    if (lockDir.empty() || ::realpath(path.c_str(), resolved) == nullptr)
        return {};
    std::string name = resolved;
    if (name.rfind("/dev/", 0) == 0)
        name.erase(0, 5);
    for (char& c : name)
        if (c == '/')
            c = '_';
    return lockDir + "/LCK.." + name;
}

// Real lock files hold 11 bytes; anything much bigger is no lock file.
constexpr off_t kMaxLockFileSize = 4096;

// True when the device's lock file names a live process. The pid is text
// (HDB style) or, in the oldest style, a 4-byte binary int.
// The lock directory is writable by every user, so what sits there under
// the lock file's name is untrusted: it is opened without blocking (a FIFO
// would hold open() until someone writes to it) and without following a
// link, and only a regular file of a lock file's size is read. Anything
// else is no live lock.
bool LockedByLiveProcess(const std::string& path, const std::string& lockDir) {
    const std::string lock = LockFilePath(path, lockDir);
    if (lock.empty())
        return false;
    UniqueFd fd(RetryOnEintr([&] {
        return ::open(lock.c_str(), O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY);
    }));
    if (!fd.Valid())
        return false;
    struct stat st {};
    if (::fstat(fd.Get(), &st) != 0 || !S_ISREG(st.st_mode) || st.st_size > kMaxLockFileSize)
        return false;
    char text[32] = {};
    const ssize_t n = RetryOnEintr([&] { return ::read(fd.Get(), text, sizeof text - 1); });
    long pid = 0;
    if (n == 4 && (text[0] != ' ' && (text[0] < '0' || text[0] > '9'))) {
        std::int32_t binary;
        std::memcpy(&binary, text, sizeof binary);
        pid = binary;
    } else if (n > 0) {
        pid = std::strtol(text, nullptr, 10);
    }
    if (pid <= 0)
        return false;
    return ::kill(static_cast<pid_t>(pid), 0) == 0 || errno == EPERM;
}

PortOpenResult Failed(CommOpenError error, int systemError) {
    PortOpenResult result;
    result.Error = error;
    result.SystemError = systemError;
    return result;
}

// The Unix 98 pseudo-terminal slave a master descriptor of process `pid`
// belongs to (its fdinfo names the terminal's index), or 0.
dev_t SlaveOfMaster(const std::string& pid, const char* fd) {
    std::ifstream info("/proc/" + pid + "/fdinfo/" + fd);
    std::string key;
    unsigned int index = 0;
    while (info >> key) {
        if (key == "tty-index:" && info >> index)
            return makedev(136 + (index >> 8), index & 0xFF);
    }
    return 0;
}

} // namespace

std::vector<dev_t> DevicesOpenElsewhere(int ownFd) {
    std::vector<dev_t> held;
    const std::string self = std::to_string(::getpid());
    DIR* proc = ::opendir("/proc");
    if (!proc)
        return held;
    while (const dirent* process = ::readdir(proc)) {
        const std::string pid = process->d_name;
        if (pid.empty() || pid.find_first_not_of("0123456789") != std::string::npos ||
            (pid == self && ownFd < 0))
            continue;
        const std::string skipped = pid == self ? std::to_string(ownFd) : std::string();
        // Another user's process is not shown (EACCES) unless this is root.
        const std::string fds = "/proc/" + pid + "/fd";
        DIR* dir = ::opendir(fds.c_str());
        if (!dir)
            continue;
        std::vector<dev_t> devices, far;
        while (const dirent* fd = ::readdir(dir)) {
            struct stat st {};
            if (fd->d_name[0] == '.' || fd->d_name == skipped ||
                ::stat((fds + '/' + fd->d_name).c_str(), &st) != 0 || !S_ISCHR(st.st_mode))
                continue;
            if (major(st.st_rdev) == 5 && minor(st.st_rdev) == 2) // a ptmx: a master
                far.push_back(SlaveOfMaster(pid, fd->d_name));
            else
                devices.push_back(st.st_rdev);
        }
        ::closedir(dir);
        // This program is never a terminal's far end: what it has open it uses.
        if (pid == self)
            far.clear();
        for (const dev_t device : devices)
            if (std::find(far.begin(), far.end(), device) == far.end())
                held.push_back(device);
    }
    ::closedir(proc);
    return held;
}

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
    if (std::string mapped = MappedPortPath(comNumber); !mapped.empty())
        return mapped;
    static const char* const families[] = {"/dev/ttyS", "/dev/ttyUSB", "/dev/ttyACM",
                                           "/dev/ttyAMA"};
    const int index = (comNumber - 1) / 32;
    if (index >= 4)
        return {};
    return std::string(families[index]) + std::to_string((comNumber - 1) % 32);
}

PortOpenResult OpenPortDescriptor(const std::string& path, const PortOpenContext& context) {
    if (path.empty())
        return Failed(CommOpenError::NotFound, ENOENT);
    // Only a character device can be a serial port. Anything else a path
    // may name (a file, a directory, a FIFO someone else reads) is not even
    // opened: that could block or disturb its users.
    if (struct stat st{}; ::stat(path.c_str(), &st) == 0 && !S_ISCHR(st.st_mode))
        return Failed(CommOpenError::NotFound, ENOTTY);
    if (LockedByLiveProcess(path, context.LockDir))
        return Failed(CommOpenError::CannotOpen, EBUSY);
    const int access = context.ReadOnly ? O_RDONLY : O_RDWR;
    UniqueFd fd(RetryOnEintr(
        [&] { return ::open(path.c_str(), access | O_NOCTTY | O_NONBLOCK | O_CLOEXEC); }));
    if (!fd.Valid()) {
        const int err = errno;
        PortOpenResult result = Failed(OpenErrorOf(err), err);
        CommOpenResult described;
        described.Error = result.Error;
        described.SystemError = err;
        described.Path = path;
        ShowHintOnce(OpenFailureHint(described));
        return result;
    }

    // A plain file or a directory linked as a port is no serial device.
    if (!::isatty(fd.Get()))
        return Failed(CommOpenError::NotFound, ENOTTY);
    // A pseudo-terminal master (/dev/ptmx makes a new one at every open) is
    // a tty with nothing on its other side; only masters know their number.
    if (unsigned int pty = 0; IoctlRetry(fd.Get(), TIOCGPTN, &pty) == 0)
        return Failed(CommOpenError::NotFound, ENOTTY);

    // Most PCs have /dev/ttyS0-3 (some up to 31) whether or not a UART is
    // behind them; such a node opens fine and then reports an unknown type,
    // or fails its first driver ioctl with EIO. Drivers without the ioctl
    // (USB adapters, pseudo-terminals) answer ENOTTY or EINVAL.
    int type = -1;
    if (context.Uart->SerialType(fd.Get(), type) == 0) {
        if (type == PORT_UNKNOWN)
            return Failed(CommOpenError::NotFound, ENODEV);
    } else if (errno == EIO) {
        return Failed(CommOpenError::NotFound, EIO);
    }

    // flock conflicts between open file descriptions, also within this
    // process, so a port this process already holds reads "in use".
    if (RetryOnEintr([&] { return ::flock(fd.Get(), LOCK_EX | LOCK_NB); }) < 0)
        return Failed(CommOpenError::CannotOpen, errno == EWOULDBLOCK ? EBUSY : errno);

    // The tty's exclusive flag keeps other openers out (root ignores it, so
    // it is checked here explicitly). Drivers without it answer ENOTTY or
    // EINVAL; flock alone then guards the port.
    // A flag that no live process accounts for (its flock was free, just
    // taken, and no other process has the device open) was left by one that
    // died: taking the port over is what its restart needs.
    int exclusive = 0;
    bool stale = false;
    if (IoctlRetry(fd.Get(), TIOCGEXCL, &exclusive) == 0 && exclusive != 0) {
        struct stat st {};
        const std::vector<dev_t> held = DevicesOpenElsewhere(fd.Get());
        if (::fstat(fd.Get(), &st) != 0 ||
            std::find(held.begin(), held.end(), st.st_rdev) != held.end())
            return Failed(CommOpenError::CannotOpen, EBUSY);
        stale = true;
    }
    IoctlRetry(fd.Get(), TIOCEXCL, nullptr);

    PortOpenResult result;
    result.StaleExclusiveCleared = stale;
    result.Fd = fd.Release();
    return result;
}

void ClosePortDescriptor(int descriptor, bool flushOutput) {
    UniqueFd fd(descriptor);
    if (!fd.Valid())
        return;
    IoctlRetry(fd.Get(), TIOCNXCL, nullptr);
    // Unsent output on a stalled line can hold close() for up to 30 s.
    if (flushOutput)
        RetryOnEintr([&] { return ::tcflush(fd.Get(), TCOFLUSH); });
}

PortProbe ProbePortPath(const std::string& path, const PortOpenContext& context) {
    if (path.empty())
        return PortProbe::Absent;
    // A missing node is the common case on machines without such ports;
    // answering it without open() keeps a 255-port scan cheap.
    if (::access(path.c_str(), F_OK) != 0 && (errno == ENOENT || errno == ENOTDIR))
        return PortProbe::Absent;
    PortOpenResult opened = OpenPortDescriptor(path, context);
    if (opened.Fd >= 0) {
        ClosePortDescriptor(opened.Fd, /*flushOutput=*/false);
        return PortProbe::Free;
    }
    return opened.Error == CommOpenError::NotFound ? PortProbe::Absent : PortProbe::InUse;
}

} // namespace platform
