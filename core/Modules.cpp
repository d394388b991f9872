#include "core/Modules.h"

#include <QFile>
#include <QFileInfo>
#include <QStringList>
#include <cerrno>
#include <cstring>
#include <dlfcn.h>
#include <sys/stat.h>
#include <unistd.h>

namespace kelvox {
namespace {

// Why path (a module or a folder holding one) could have been written by
// another user ("is writable by other users"); empty when only root or this
// process's user could.
QString writableByOthers(const QString& path) {
    struct stat st {};
    if (::stat(QFile::encodeName(path).constData(), &st) != 0)
        return QStringLiteral("cannot be examined (%1)")
            .arg(QString::fromLocal8Bit(std::strerror(errno)));
    if (st.st_uid != 0 && st.st_uid != ::geteuid())
        return QStringLiteral("is owned by user %1, neither root nor this program's user")
            .arg(st.st_uid);
    if ((st.st_mode & (S_IWGRP | S_IWOTH)) != 0)
        return QStringLiteral("is writable by other users");
    return {};
}

} // namespace

QString ModulePath(const QString& name, QString* error) {
    const QString exe = QFileInfo(QStringLiteral("/proc/self/exe")).canonicalFilePath();
    QStringList dirs{QFileInfo(exe).absolutePath()};
    for (const QString& dir :
         {QStringLiteral(KELVOX_MODULE_DIR), QStringLiteral(KELVOX_PACKAGE_MODULE_DIR)})
        if (!dirs.contains(dir))
            dirs << dir;
    for (const QString& dir : dirs) {
        const QString path = dir + u'/' + name;
        if (!QFileInfo::exists(path))
            continue;
        // The folder it was found in (which holds a link, if it is one), the
        // file itself and the folder it really is in.
        const QString file = QFileInfo(path).canonicalFilePath();
        for (const QString& part : {dir, file, QFileInfo(file).absolutePath()}) {
            const QString cause = writableByOthers(part);
            if (cause.isEmpty())
                continue;
            if (error)
                *error =
                    part == file
                        ? QStringLiteral("%1 refused: it %2").arg(path, cause)
                        : QStringLiteral("%1 refused: its folder %2 %3").arg(path, part, cause);
            return {};
        }
        return file;
    }
    if (error)
        *error = QStringLiteral("%1 not found in %2").arg(name, dirs.join(QStringLiteral(" or ")));
    return {};
}

Module Module::Program(const QString& name) {
    Module module;
    module.Path_ = ModulePath(name, &module.Error_);
    if (module.Path_.isEmpty())
        return module;
    module.Handle_ = ::dlopen(QFile::encodeName(module.Path_).constData(), RTLD_NOW | RTLD_LOCAL);
    if (!module.Handle_) {
        // The loader's text names the file itself most of the time; said
        // twice it would read "path: path: file too short".
        const QString cause = QString::fromLocal8Bit(::dlerror());
        module.Error_ = cause.startsWith(module.Path_ + u':')
                            ? cause
                            : module.Path_ + QStringLiteral(": ") + cause;
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
