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
#include <sys/stat.h>
#include <unistd.h>

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

// The file a replace must land on: the target of a symbolic link (so the
// link stays), else path itself.
QByteArray replaceTarget(const QByteArray& path) {
    struct stat st {};
    if (::lstat(path.constData(), &st) == 0 && S_ISLNK(st.st_mode)) {
        char resolved[PATH_MAX];
        if (::realpath(path.constData(), resolved))
            return QByteArray(resolved);
    }
    return path;
}

void syncDirectoryOf(const QByteArray& path) {
    const QByteArray dir = QFile::encodeName(QFileInfo(QFile::decodeName(path)).absolutePath());
    const UniqueFd fd(::open(dir.constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (fd.Valid())
        ::fsync(fd.Get());
}

} // namespace

FileContent ReadWholeFile(const QString& path, qsizetype maxBytes) {
    FileContent result;
    const QByteArray name = QFile::encodeName(path);
    struct stat st {};
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
    const QByteArray temp = QFile::encodeName(
        TemporaryPathFor(QFile::decodeName(replaceTarget(QFile::encodeName(path)))));
    struct stat st {};
    if (::lstat(temp.constData(), &st) == 0 && S_ISREG(st.st_mode))
        ::unlink(temp.constData());
}

bool ReplaceFile(const QString& path, const QByteArray& data, QString* error, bool ownerOnly) {
    const QByteArray target = replaceTarget(QFile::encodeName(path));
    struct stat old {};
    const bool existed = ::stat(target.constData(), &old) == 0;
    if (existed && !S_ISREG(old.st_mode)) {
        *error = notRegular();
        return false;
    }
    const QByteArray temp = QFile::encodeName(TemporaryPathFor(QFile::decodeName(target)));
    ::unlink(temp.constData());
    struct stat st {};
    UniqueFd fd = openRegular(temp, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW,
                              ownerOnly ? 0600 : 0666, error, &st);
    if (!fd.Valid())
        return false;
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
    if (ok && RetryOnEintr([&] { return ::rename(temp.constData(), target.constData()); }) != 0) {
        ok = false;
        code = errno;
    }
    if (!ok) {
        ::unlink(temp.constData());
        *error = systemError(code);
        return false;
    }
    syncDirectoryOf(target);
    return true;
}

bool AppendWhole(const QString& path, const QByteArray& data, QString* error) {
    const QByteArray name = QFile::encodeName(path);
    struct stat st {};
    if (::stat(name.constData(), &st) == 0 && !S_ISREG(st.st_mode)) {
        *error = notRegular();
        return false;
    }
    UniqueFd fd = openRegular(name, O_WRONLY | O_APPEND | O_CREAT, 0644, error, &st);
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
