#include "platform/Process.h"

#include "platform/AppPaths.h"
#include "platform/SysRetry.h"

#include <QFile>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
#include <xcb/xcb.h>

namespace platform {

void ReopenClosedStandardDescriptors() {
    for (int fd = 0; fd <= 2; ++fd) {
        if (::fcntl(fd, F_GETFD) != -1 || errno != EBADF)
            continue;
        // open() returns the lowest free descriptor, which is this one.
        const int opened = ::open("/dev/null", O_RDWR);
        if (opened >= 0 && opened != fd)
            ::close(opened);
    }
}

InstanceLock LockApplicationDirectory(const QString& dir, QString* error) {
    const QByteArray path = QFile::encodeName(dir + u'/' + AppBaseName() + QStringLiteral(".lock"));
    // Never follow a link or block on a FIFO someone put in its place.
    const int fd = RetryOnEintr([&] {
        return ::open(path.constData(), O_RDWR | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC,
                      0644);
    });
    if (fd < 0) {
        *error = QString::fromLocal8Bit(std::strerror(errno));
        return InstanceLock::Failed;
    }
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        *error = QStringLiteral("not a regular file");
        return InstanceLock::Failed;
    }
    if (RetryOnEintr([&] { return ::flock(fd, LOCK_EX | LOCK_NB); }) != 0) {
        const int code = errno;
        ::close(fd);
        if (code == EWOULDBLOCK)
            return InstanceLock::Busy;
        *error = QString::fromLocal8Bit(std::strerror(code));
        return InstanceLock::Failed;
    }
    // Deliberately kept open: the lock lasts as long as the process.
    return InstanceLock::Held;
}

bool XDisplayReachable() {
    xcb_connection_t* connection = xcb_connect(nullptr, nullptr);
    const bool ok = connection && xcb_connection_has_error(connection) == 0;
    if (connection)
        xcb_disconnect(connection);
    return ok;
}

} // namespace platform
