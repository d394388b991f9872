#include "platform/FileStore.h"

#include "platform/SysRetry.h"
#include "platform/SystemError.h"

#include <QFile>
#include <QFileInfo>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace platform {
namespace {

QString systemError(int code) {
    return QString::fromStdString(SystemErrorOf(code).Text);
}

QString notRegular() {
    return QStringLiteral("not a regular file");
}

// Opens path with flags plus O_NONBLOCK, so that a FIFO or device that slipped
// past the caller's stat() cannot block, and keeps the descriptor only when
// it is a regular file. None with *error set otherwise.
UniqueFd openRegular(const QByteArray& path, int flags, mode_t mode, QString* error,
                     struct stat* st) {
    UniqueFd fd(RetryOnEintr(
        [&] { return ::open(path.constData(), flags | O_NONBLOCK | O_CLOEXEC | O_NOCTTY, mode); }));
    if (!fd.Valid()) {
        *error = systemError(errno);
        return fd;
    }
    if (::fstat(fd.Get(), st) != 0 || !S_ISREG(st->st_mode)) {
        *error = notRegular();
        return UniqueFd();
    }
    return fd;
}

// Writes all of data; false with errno set otherwise (0 bytes taken counts as
// a full disk).
bool writeAll(int fd, const QByteArray& data) {
    qsizetype done = 0;
    while (done < data.size()) {
        const ssize_t n = RetryOnEintr([&] {
            return ::write(fd, data.constData() + done, static_cast<size_t>(data.size() - done));
        });
        if (n < 0)
            return false;
        if (n == 0) {
            errno = ENOSPC;
            return false;
        }
        done += n;
    }
    return true;
}

QString linkRefused() {
    return QStringLiteral("a symbolic link, which is not followed");
}

// Why root must not write what st describes, or empty. Whoever owns a file
// or folder could have put a link or a second hard link there, and root
// would write through it into any file of the system.
QString refusedForRoot(const struct stat& st, bool folder) {
    if (::geteuid() != 0)
        return {};
    if (st.st_uid != 0)
        return QStringLiteral("owned by %1, not by the user running the program; root does not "
                              "write another user's %2")
            .arg(UserText(st.st_uid), folder ? QStringLiteral("folder") : QStringLiteral("file"));
    if (!folder && st.st_nlink > 1)
        return QStringLiteral("has other hard links; root does not write through them");
    return {};
}

// The folder of path, open, and path's last component: what the file
// operations below work on, so that nothing on the way is looked up twice.
// None with *error ("<folder>: cause") when the folder cannot be opened or
// root may not write in it.
UniqueFd openFolderOf(const QByteArray& path, QByteArray* name, QString* error,
                      QString* folderPath = nullptr) {
    const QFileInfo info(QFile::decodeName(path));
    *name = QFile::encodeName(info.fileName());
    const QString folder = info.absolutePath();
    if (folderPath)
        *folderPath = folder;
    UniqueFd fd(RetryOnEintr([&] {
        return ::open(QFile::encodeName(folder).constData(),
                      O_RDONLY | O_DIRECTORY | O_CLOEXEC | O_NOCTTY);
    }));
    struct stat st {};
    if (!fd.Valid() || ::fstat(fd.Get(), &st) != 0) {
        *error = folder + QStringLiteral(": ") + systemError(errno);
        return UniqueFd();
    }
    if (const QString refused = refusedForRoot(st, /*folder=*/true); !refused.isEmpty()) {
        *error = folder + QStringLiteral(": ") + refused;
        return UniqueFd();
    }
    return fd;
}

// Opens name in the folder dirFd for writing, never through a link and
// never blocking; keeps the descriptor only for a regular file root may
// write. None with *error set otherwise.
UniqueFd openForWriting(int dirFd, const QByteArray& name, int flags, mode_t mode, QString* error,
                        struct stat* st) {
    UniqueFd fd(RetryOnEintr([&] {
        return ::openat(dirFd, name.constData(),
                        flags | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | O_NOCTTY, mode);
    }));
    if (!fd.Valid()) {
        const int code = errno;
        struct stat link {};
        *error = code == ELOOP &&
                         ::fstatat(dirFd, name.constData(), &link, AT_SYMLINK_NOFOLLOW) == 0 &&
                         S_ISLNK(link.st_mode)
                     ? linkRefused()
                     : systemError(code);
        return fd;
    }
    if (::fstat(fd.Get(), st) != 0 || !S_ISREG(st->st_mode)) {
        *error = notRegular();
        return UniqueFd();
    }
    if (const QString refused = refusedForRoot(*st, /*folder=*/false); !refused.isEmpty()) {
        *error = refused;
        return UniqueFd();
    }
    return fd;
}

} // namespace

QString UserText(uid_t uid) {
    std::vector<char> buffer(16384);
    passwd entry{};
    passwd* found = nullptr;
    if (::getpwuid_r(uid, &entry, buffer.data(), buffer.size(), &found) == 0 && found)
        return QStringLiteral("%1 (uid %2)").arg(QString::fromLocal8Bit(found->pw_name)).arg(uid);
    return QStringLiteral("uid %1").arg(uid);
}

FileContent ReadWholeFile(const QString& path, qsizetype maxBytes) {
    FileContent result;
    const QByteArray name = QFile::encodeName(path);
    struct stat st {};
    // A link is read only when root or this user made it: anyone else's
    // could point at what this user may read and they may not.
    if (::lstat(name.constData(), &st) == 0 && S_ISLNK(st.st_mode) && st.st_uid != 0 &&
        st.st_uid != ::geteuid()) {
        result.Outcome = ReadOutcome::Refused;
        result.Error = QStringLiteral("a symbolic link owned by %1, which is not followed")
                           .arg(UserText(st.st_uid));
        return result;
    }
    if (::stat(name.constData(), &st) != 0) {
        if (errno != ENOENT) {
            result.Outcome = ReadOutcome::Refused;
            result.Error = systemError(errno);
        }
        return result;
    }
    result.Outcome = ReadOutcome::Refused;
    if (!S_ISREG(st.st_mode)) {
        result.Error = notRegular();
        return result;
    }
    const UniqueFd fd = openRegular(name, O_RDONLY, 0, &result.Error, &st);
    if (!fd.Valid())
        return result;
    char buffer[65536];
    while (result.Data.size() < maxBytes) {
        const ssize_t n = RetryOnEintr([&] { return ::read(fd.Get(), buffer, sizeof buffer); });
        if (n < 0) {
            result.Error = systemError(errno);
            result.Data.clear();
            return result;
        }
        if (n == 0)
            break;
        result.Data.append(buffer, n);
    }
    result.Outcome = ReadOutcome::Read;
    return result;
}

QString TemporaryPathFor(const QString& path) {
    return path + QStringLiteral(".tmp");
}

void RemoveStaleTemporary(const QString& path) {
    QByteArray name;
    QString error;
    const UniqueFd dir = openFolderOf(QFile::encodeName(TemporaryPathFor(path)), &name, &error);
    struct stat st {};
    if (dir.Valid() && ::fstatat(dir.Get(), name.constData(), &st, AT_SYMLINK_NOFOLLOW) == 0 &&
        S_ISREG(st.st_mode))
        ::unlinkat(dir.Get(), name.constData(), 0);
}

bool ReplaceFile(const QString& path, const QByteArray& data, QString* error, bool ownerOnly) {
    // All in the one folder opened here: neither the file nor its
    // temporary file is reached through a link.
    QByteArray name;
    QString folder;
    const UniqueFd dir = openFolderOf(QFile::encodeName(path), &name, error, &folder);
    if (!dir.Valid())
        return false;
    struct stat old {};
    const bool existed = ::fstatat(dir.Get(), name.constData(), &old, AT_SYMLINK_NOFOLLOW) == 0;
    if (existed && S_ISLNK(old.st_mode)) {
        *error = linkRefused();
        return false;
    }
    if (existed && !S_ISREG(old.st_mode)) {
        *error = notRegular();
        return false;
    }
    if (const QString refused = existed ? refusedForRoot(old, false) : QString();
        !refused.isEmpty()) {
        *error = refused;
        return false;
    }
    const QByteArray temp = QFile::encodeName(TemporaryPathFor(QFile::decodeName(name)));
    ::unlinkat(dir.Get(), temp.constData(), 0);
    struct stat st {};
    UniqueFd fd = openForWriting(dir.Get(), temp, O_WRONLY | O_CREAT | O_EXCL,
                                 ownerOnly ? 0600 : 0666, error, &st);
    if (!fd.Valid()) {
        // The file itself may well be writable: say that the folder is not.
        *error = QStringLiteral("%1: cannot create %2 there: %3")
                     .arg(folder, QFile::decodeName(temp), *error);
        return false;
    }
    // Saved by root (sudo kelvox --find --save on a service's directory),
    // the file keeps its owner, or the service could no longer read it.
    // Others may not give files away (EPERM), and need not: the file they
    // may replace stays theirs to read. So a refusal does not fail the save.
    const bool otherOwner = existed && (old.st_uid != st.st_uid || old.st_gid != st.st_gid);
    [[maybe_unused]] const bool owned =
        !otherOwner || ::fchown(fd.Get(), old.st_uid, old.st_gid) == 0;
    const mode_t mode = (existed ? old.st_mode : st.st_mode) & (ownerOnly ? 0600 : 07777);
    bool ok = ((!existed && !ownerOnly) || ::fchmod(fd.Get(), mode) == 0 || errno == EPERM) &&
              writeAll(fd.Get(), data) && ::fsync(fd.Get()) == 0;
    int code = errno;
    if (fd.Close() != 0 && ok) {
        ok = false;
        code = errno;
    }
    if (ok && RetryOnEintr([&] {
                  return ::renameat(dir.Get(), temp.constData(), dir.Get(), name.constData());
              }) != 0) {
        ok = false;
        code = errno;
    }
    if (!ok) {
        ::unlinkat(dir.Get(), temp.constData(), 0);
        *error = systemError(code);
        return false;
    }
    ::fsync(dir.Get());
    return true;
}

bool AppendWhole(const QString& path, const QByteArray& data, QString* error) {
    QByteArray name;
    const UniqueFd dir = openFolderOf(QFile::encodeName(path), &name, error);
    if (!dir.Valid())
        return false;
    struct stat st {};
    UniqueFd fd = openForWriting(dir.Get(), name, O_WRONLY | O_APPEND | O_CREAT, 0644, error, &st);
    if (!fd.Valid())
        return false;
    bool ok = writeAll(fd.Get(), data);
    int code = errno;
    if (!ok)
        RetryOnEintr([&] { return ::ftruncate(fd.Get(), st.st_size); });
    if (fd.Close() != 0 && ok) {
        ok = false;
        code = errno;
    }
    if (!ok)
        *error = systemError(code);
    return ok;
}

} // namespace platform
