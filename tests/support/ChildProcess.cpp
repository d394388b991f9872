#include "support/ChildProcess.h"

#include <QByteArray>
#include <QElapsedTimer>
#include <QFile>
#include <QString>
#include <QThread>

bool WaitUntilCatching(qint64 pid, int signo) {
    QElapsedTimer clock;
    clock.start();
    while (clock.elapsed() < 30000) {
        QFile status(QStringLiteral("/proc/%1/status").arg(pid));
        if (status.open(QIODevice::ReadOnly)) {
            for (const QByteArray& line : status.readAll().split('\n')) {
                if (line.startsWith("SigCgt:")) {
                    bool ok = false;
                    const qulonglong mask = line.mid(7).trimmed().toULongLong(&ok, 16);
                    if (ok && (mask >> (signo - 1)) & 1u)
                        return true;
                }
            }
        }
        QThread::msleep(20);
    }
    return false;
}
