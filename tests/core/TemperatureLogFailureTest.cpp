// The daily temperature log as seen from the event log: a log that cannot be
// written shows up there once, and so does its recovery.
#include "core/Upload.h"
#include "core/EventLog.h"
#include "core/Link.h"
#include "core/Settings.h"
#include "platform/AppPaths.h"
#include "platform/SystemError.h"
#include "support/FullDisk.h"

#include <QTemporaryDir>
#include <cerrno>
#include <gtest/gtest.h>

TEST(Upload, FailingTemperatureLogIsLoggedOnceWithItsCauseAndSoIsItsRecovery) {
    QTemporaryDir home;
    qputenv("KELVOX_HOME", home.path().toLocal8Bit());
    const QDateTime now = QDateTime::currentDateTime();
    TSettingsModel settings;
    settings.SetCheck(Setting::GeneTemp, true);
    TEventLog log([now] { return now; });
    QStringList lines;
    QObject::connect(&log, &TEventLog::LineAdded, [&](const QString&, const QString& text) {
        if (text.contains(QStringLiteral("Temperature log")))
            lines << text;
    });
    TLink link(settings, log, [now] { return now; });
    // No target URL: every send fails before any traffic, and still logs.
    TUploader upload(settings, log, link, {}, 60000);
    {
        const FullDisk full(0);
        upload.Send(false);
        upload.Send(false);
    }
    upload.Send(false);
    upload.Send(false);
    ASSERT_EQ(lines.size(), 2) << lines.join('\n').toStdString();
    EXPECT_TRUE(lines[0].startsWith(QStringLiteral("ERR  "))) << lines[0].toStdString();
    EXPECT_TRUE(lines[0].contains(platform::TemperatureLogPath(QDateTime::currentDateTime())));
    EXPECT_TRUE(lines[0].contains(QString::fromStdString(platform::SystemErrorOf(EFBIG).Text)))
        << lines[0].toStdString();
    EXPECT_TRUE(lines[1].startsWith(QStringLiteral("OK  "))) << lines[1].toStdString();
    qunsetenv("KELVOX_HOME");
}
