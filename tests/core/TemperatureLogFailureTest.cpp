// The daily temperature log as seen from the event log: a log that cannot be
// written shows up there once, and so does its recovery.
#include "core/EventLog.h"
#include "core/Link.h"
#include "core/Settings.h"
#include "core/Upload.h"
#include "platform/AppPaths.h"
#include "platform/SystemError.h"
#include "support/FullDisk.h"

#include <QTemporaryDir>
#include <cerrno>
#include <gtest/gtest.h>

TEST(Upload, FailingTemperatureLogIsLoggedOnceWithItsCauseAndSoIsItsRecovery) {
    QTemporaryDir home;
    const platform::AppPaths paths{home.path()};
    const QDateTime now = QDateTime::currentDateTime();
    TSettingsModel settings;
    settings.SetCheck(Setting::GeneTemp, true);
    TEventLog log(paths, [now] { return now; });
    QStringList lines;
    QObject::connect(&log, &TEventLog::LineAdded, [&](const QString&, const QString& text) {
        if (text.contains(QStringLiteral("Temperature log")))
            lines << text;
    });
    TLink link(settings, log, [now] { return now; });
    // No target URL: every send fails before any traffic, and still logs.
    TUploader upload(settings, log, link, {}, 60000, paths, [now] { return now; });
    {
        const FullDisk full(0);
        upload.Send(false);
        upload.Send(false);
    }
    upload.Send(false);
    upload.Send(false);
    ASSERT_EQ(lines.size(), 2) << lines.join('\n').toStdString();
    EXPECT_TRUE(lines[0].startsWith(QStringLiteral("ERR  "))) << lines[0].toStdString();
    EXPECT_TRUE(lines[0].contains(paths.TemperatureLogPath(now)));
    EXPECT_TRUE(lines[0].contains(QString::fromStdString(platform::SystemErrorOf(EFBIG).Text)))
        << lines[0].toStdString();
    EXPECT_TRUE(lines[1].startsWith(QStringLiteral("OK  "))) << lines[1].toStdString();
}
