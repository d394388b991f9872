// The settings model against real files: what a save writes, and what a
// value that cannot be used says.
#include "core/Settings.h"
#include "platform/IniFile.h"

#include <QFile>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <gtest/gtest.h>

namespace {

QByteArray read(const QString& path) {
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

void write(const QString& path, const QByteArray& data) {
    QFile f(path);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
    f.write(data);
}

} // namespace

TEST(SettingsModel, ASaveWritesWhatThisRunChangedAndKeepsHandEdits) {
    QTemporaryDir dir;
    const QString path = dir.path() + "/kelvox.ini";
    const QByteArray rest =
        "AlwaysOnTop=0\r\nGeneTemp=0\r\nAutoReconnect=0\r\n[Main]\r\nHeight=310\r\n";
    write(path, "[Data]\r\nTargetURL=http://a/t=\r\nPeriod=5\r\nCOM=3\r\nAutoConnect=0\r\n" + rest);
    TSettingsModel model;
    ASSERT_TRUE(model.Load(platform::IniFile(path)).isEmpty());
    EXPECT_EQ(model.Integer(Setting::Period), 5);
    EXPECT_TRUE(model.Check(Setting::MqttDiscovery)); // missing: the table's default

    // Meanwhile an administrator edits two keys by hand.
    write(path, "[Data]\r\nTargetURL=http://b/t=\r\nPeriod=5\r\nCOM=7\r\nAutoConnect=0\r\n" + rest);
    model.SetInteger(Setting::Period, 10);            // changed by the program only
    model.SetInteger(Setting::COM, 4);                // changed by both
    model.SetText(Setting::TargetURL, "http://a/t="); // unchanged: still what was read
    platform::IniFile ini(path);
    const QStringList both = model.Save(ini);
    EXPECT_EQ(both, QStringList{"[Data] COM"});
    EXPECT_EQ(read(path),
              "[Data]\r\nTargetURL=http://b/t=\r\nPeriod=10\r\nCOM=4\r\nAutoConnect=0\r\n" + rest);

    // Saved values are the new "read" state: a second save writes nothing.
    write(path, "[Data]\r\nPeriod=10\r\nCOM=4\r\n; comment\r\n" + rest);
    platform::IniFile again(path);
    EXPECT_TRUE(model.Save(again).isEmpty());
    EXPECT_EQ(read(path), "[Data]\r\nPeriod=10\r\nCOM=4\r\n; comment\r\n" + rest);
}

TEST(SettingsModel, AnUnusableValueNamesItsPlaceAndChangesNothing) {
    QTemporaryDir dir;
    const QString path = dir.path() + "/kelvox.ini";
    write(path, "[Main]\r\nTop=5\r\n\r\n[Data]\r\nPeriod=7\r\nAutoConnect=maybe\r\n");
    TSettingsModel model;
    QSignalSpy changed(&model, &TSettingsModel::Changed);
    const QList<SettingProblem> problems = model.Load(platform::IniFile(path));
    ASSERT_EQ(problems.size(), 1);
    EXPECT_EQ(problems[0].Text,
              "kelvox.ini line 6, [Data] AutoConnect: 'maybe' is not a valid boolean value");
    EXPECT_EQ(model.Integer(Setting::Period), 1); // the default stays
    EXPECT_FALSE(model.Has(Setting::MainTop));
    EXPECT_EQ(changed.count(), 0);
}
