#include "platform/Process.h"

#include "platform/AppPaths.h"
#include "platform/FileStore.h"
#include "platform/SysRetry.h"
#include "platform/SystemError.h"

#include <QFile>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <pwd.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace platform {

void ReopenClosedStandardDescriptors() {
    for (int fd = 0; fd <= 2; ++fd) {
        if (::fcntl(fd, F_GETFD) != -1 || errno != EBADF)
            continue;
        // open() returns the lowest free descriptor, which is this one; it
        // stays open for the life of the process, so nothing owns it.
        UniqueFd opened(::open("/dev/null", O_RDWR));
        if (opened.Get() == fd)
            opened.Release();
    }
}

namespace {

// What a path that is no regular file is, for an error text.
QString notRegular(mode_t mode) {
    const char* kind = S_ISDIR(mode)    ? "a directory"
                       : S_ISLNK(mode)  ? "a symbolic link"
                       : S_ISFIFO(mode) ? "a FIFO"
                       : S_ISSOCK(mode) ? "a socket"
                       : S_ISCHR(mode)  ? "a character device"
                       : S_ISBLK(mode)  ? "a block device"
                                        : "of an unknown kind";
    return QStringLiteral("not a regular file (%1)").arg(QLatin1StringView(kind));
}

} // namespace

InstanceLock LockApplicationDirectory(const QString& dir, QString* error) {
    const QString file = dir + u'/' + AppBaseName() + QStringLiteral(".lock");
    const QByteArray path = QFile::encodeName(file);
    const auto failed = [&](const QString& cause) {
        *error = file + QStringLiteral(": ") + cause;
        return InstanceLock::Failed;
    };
    // Root makes nothing in another user's folder: that user could have put
    // links there for root to write through (the settings, the logs).
    struct stat folder {};
    if (::geteuid() == 0 && ::stat(QFile::encodeName(dir).constData(), &folder) == 0 &&
        folder.st_uid != 0) {
        *error = dir + QStringLiteral(": owned by %1, not by the user running the program; root "
                                      "does not write another user's folder")
                           .arg(UserText(folder.st_uid));
        return InstanceLock::Failed;
    }
    // Never follow a link (its target is not touched) or block on a FIFO
    // someone put in its place.
    UniqueFd fd(RetryOnEintr([&] {
        return ::open(path.constData(),
                      O_RDWR | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC, 0600);
    }));
    if (!fd.Valid()) {
        const int code = errno;
        // A link gives ELOOP and a directory EISDIR: say what is there.
        struct stat st {};
        if (::lstat(path.constData(), &st) == 0 && !S_ISREG(st.st_mode))
            return failed(notRegular(st.st_mode));
        return failed(QString::fromStdString(SystemErrorOf(code).Text));
    }
    struct stat st {};
    if (::fstat(fd.Get(), &st) != 0 || !S_ISREG(st.st_mode))
        return failed(notRegular(st.st_mode));
    // Whoever can open the file can take the lock and keep every start
    // out: it must be this user's alone (an older one made 0644 is mended).
    if (st.st_uid != ::geteuid())
        return failed(QStringLiteral("owned by %1, not by the user running the program")
                          .arg(UserText(st.st_uid)));
    if ((st.st_mode & 077) != 0 && ::fchmod(fd.Get(), 0600) != 0)
        return failed(QString::fromStdString(SystemErrorOf(errno).Text));
    if (RetryOnEintr([&] { return ::flock(fd.Get(), LOCK_EX | LOCK_NB); }) != 0) {
        const int code = errno;
        if (code == EWOULDBLOCK)
            return InstanceLock::Busy;
        return failed(QString::fromStdString(SystemErrorOf(code).Text));
    }
    // Deliberately kept open: the lock lasts as long as the process.
    fd.Release();
    return InstanceLock::Held;
}

} // namespace platform
