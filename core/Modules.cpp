#include "core/Modules.h"

#include <QFile>
#include <QFileInfo>
#include <QStringList>
#include <cerrno>
#include <cstring>
#include <dlfcn.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>

namespace kelvox {
namespace {

// A descriptor closed at the end of its scope.
struct UniqueModuleFd {
    int Fd = -1;
    UniqueModuleFd() = default;
    explicit UniqueModuleFd(int fd) : Fd(fd) {}
    UniqueModuleFd(UniqueModuleFd&& other) noexcept : Fd(std::exchange(other.Fd, -1)) {}
    UniqueModuleFd& operator=(UniqueModuleFd&&) = delete;
    ~UniqueModuleFd() {
        if (Fd >= 0)
            ::close(Fd);
    }
};

QString systemError(int code) {
    return QString::fromLocal8Bit(std::strerror(code));
}

// Why what st describes could have been written by another user ("is
// writable by other users"); empty when only root or this process's user
// could. A folder writable by all with the sticky bit (/tmp) lets nobody
// replace another's entries.
QString writableByOthers(const struct stat& st) {
    if (st.st_uid != 0 && st.st_uid != ::geteuid())
        return QStringLiteral("is owned by user %1, neither root nor this program's user")
            .arg(st.st_uid);
    if ((st.st_mode & (S_IWGRP | S_IWOTH)) != 0 && !(S_ISDIR(st.st_mode) && (st.st_mode & S_ISVTX)))
        return QStringLiteral("is writable by other users");
    return {};
}

// The module name in one of the program's places, opened once: the file
// that is checked is the file that is loaded (through /proc/self/fd), so
// nothing can be swapped in between. The open file must be a regular file
// that only root or this user can write, and so must every folder from it up
// to "/" (and the folder it was found in, when that holds a link to it).
// Sets *file to the file's real path; none, with *error naming the refused
// file or folder (never a link to it), when it is missing or refused.
UniqueModuleFd openModule(const QString& name, QString* file, QString* error) {
    const QString exe = QFileInfo(QStringLiteral("/proc/self/exe")).canonicalFilePath();
    QStringList dirs{QFileInfo(exe).absolutePath()};
    for (const QString& dir :
         {QStringLiteral(KELVOX_MODULE_DIR), QStringLiteral(KELVOX_PACKAGE_MODULE_DIR)})
        if (!dirs.contains(dir))
            dirs << dir;
    for (const QString& dir : dirs) {
        const QString path = dir + u'/' + name;
        UniqueModuleFd fd(::open(QFile::encodeName(path).constData(), O_RDONLY | O_CLOEXEC));
        if (fd.Fd < 0 && (errno == ENOENT || errno == ENOTDIR))
            continue;
        if (fd.Fd < 0) {
            *error = QStringLiteral("%1: %2").arg(path, systemError(errno));
            return {};
        }
        // Where the open file really is, as the kernel found it.
        *file = QFileInfo(QStringLiteral("/proc/self/fd/%1").arg(fd.Fd)).symLinkTarget();
        struct stat st {};
        if (::fstat(fd.Fd, &st) != 0 || !S_ISREG(st.st_mode)) {
            *error = QStringLiteral("%1 refused: not a regular file").arg(*file);
            return {};
        }
        if (const QString cause = writableByOthers(st); !cause.isEmpty()) {
            *error = QStringLiteral("%1 refused: it %2").arg(*file, cause);
            return {};
        }
        QStringList folders{dir};
        for (QString folder = QFileInfo(*file).absolutePath();;
             folder = QFileInfo(folder).absolutePath()) {
            folders << folder;
            if (folder == QLatin1String("/"))
                break;
        }
        for (const QString& folder : folders) {
            struct stat fs {};
            const QString cause =
                ::stat(QFile::encodeName(folder).constData(), &fs) != 0
                    ? QStringLiteral("cannot be examined (%1)").arg(systemError(errno))
                    : writableByOthers(fs);
            if (!cause.isEmpty()) {
                *error = QStringLiteral("%1 refused: its folder %2 %3").arg(*file, folder, cause);
                return {};
            }
        }
        return fd;
    }
    *error = QStringLiteral("%1 not found in %2").arg(name, dirs.join(QStringLiteral(" or ")));
    return {};
}

} // namespace

Module Module::Program(const QString& name) {
    Module module;
    const UniqueModuleFd fd = openModule(name, &module.Path_, &module.Error_);
    if (fd.Fd < 0) {
        module.Path_.clear();
        return module;
    }
    module.Handle_ = ::dlopen(QStringLiteral("/proc/self/fd/%1").arg(fd.Fd).toLatin1().constData(),
                              RTLD_NOW | RTLD_LOCAL);
    if (!module.Handle_) {
        // The loader names the file by the descriptor's path: name it by
        // its own.
        QString cause = QString::fromLocal8Bit(::dlerror());
        const QString through = QStringLiteral("/proc/self/fd/%1: ").arg(fd.Fd);
        if (cause.startsWith(through))
            cause.remove(0, through.size());
        module.Error_ = module.Path_ + QStringLiteral(": ") + cause;
    }
    return module;
}

Module Module::System(const char* soname) {
    Module module;
    module.Handle_ = ::dlopen(soname, RTLD_NOW | RTLD_LOCAL);
    if (!module.Handle_)
        module.Error_ = QString::fromLocal8Bit(::dlerror());
    return module;
}

void* Module::Address(const char* name) const {
    return Handle_ ? ::dlsym(Handle_, name) : nullptr;
}

} // namespace kelvox
