#include "app/GuiModule.h"

#include <QCoreApplication>
#include <QFileInfo>

namespace kelvox {

QString GuiModulePath() {
    const QString exe = QFileInfo(QStringLiteral("/proc/self/exe")).canonicalFilePath();
    const QString dir = QFileInfo(exe).absolutePath();
    const QString beside = dir + QStringLiteral("/" KELVOX_GUI_MODULE_NAME);
    if (QFileInfo::exists(beside))
        return beside;
    return QFileInfo(dir + QStringLiteral("/" KELVOX_GUI_MODULE_RELDIR "/" KELVOX_GUI_MODULE_NAME))
        .absoluteFilePath();
}

} // namespace kelvox
