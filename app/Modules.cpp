#include "app/Modules.h"

#include <QCoreApplication>
#include <QFileInfo>

namespace kelvox {

QString ModulePath(const QString& name) {
    const QString exe = QFileInfo(QStringLiteral("/proc/self/exe")).canonicalFilePath();
    const QString dir = QFileInfo(exe).absolutePath();
    const QString beside = dir + u'/' + name;
    if (QFileInfo::exists(beside))
        return beside;
    return QFileInfo(dir + QStringLiteral("/" KELVOX_MODULE_RELDIR "/") + name).absoluteFilePath();
}

} // namespace kelvox
