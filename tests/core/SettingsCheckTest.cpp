// The one check of kelvox.ini that the start, a reload and --check share:
// the shipped example file, every problem named with what is used instead,
// and what the reader would otherwise pass over in silence.
#include "support/CoreFixture.h"

#include "platform/IniFile.h"

#include <QRegularExpression>

namespace {

QStringList texts(const QList<SettingProblem>& problems) {
    QStringList list;
    for (const SettingProblem& problem : problems)
        list << problem.Text;
    return list;
}

class SettingsCheckTest : public CoreFixture {
protected:
    void WriteIni(const QByteArray& bytes) {
        QFile f(Paths().IniPath());
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        f.write(bytes);
    }
    QStringList Check() {
        return texts(TSettingsModel::Check(platform::IniFile(Paths().IniPath())));
    }
};

} // namespace

// The example as shipped, and with every commented key switched on: each
// key it documents is read from its own section, and nothing is ignored.
TEST_F(SettingsCheckTest, TheShippedExampleReadsEveryKeyItDocuments) {
    QFile example(QStringLiteral(KELVOX_SOURCE_DIR "/packaging/examples/kelvox.ini"));
    ASSERT_TRUE(example.open(QIODevice::ReadOnly));
    QByteArray all = example.readAll();
    WriteIni(all);
    EXPECT_EQ(Check(), QStringList());
    QString text = QString::fromUtf8(all);
    text.replace(QRegularExpression(QStringLiteral("(^|\\n);(\\w+=)")), QStringLiteral("\\1\\2"));
    WriteIni(text.toUtf8());
    EXPECT_EQ(Check(), QStringList());
    const platform::IniFile ini(Paths().IniPath());
    for (const SettingDef& def : SettingTable()) {
        const QString section = QString::fromLatin1(def.Section);
        if (section != "Main" && section != "History") { // the windows' places
            EXPECT_NE(ini.LineOf(section, def.Key), 0) << def.Section << " " << def.Key;
        }
    }
    EXPECT_NE(ini.LineOf("Ports", "COM33"), 0);
}

// Reload and --check name the same problems, each with the value used; a
// period switched on again counts from the last send, not from the reload.
TEST_F(SettingsCheckTest, ReloadNamesEveryProblemAsCheckDoes) {
    Deps.MinuteMs = 1000;
    Start("[Data]\r\nPeriod=0\r\n");
    WriteIni("[Data]\r\nPeriod=abc\r\nAutoConnect=maybe\r\n");
    const QStringList expected{
        "kelvox.ini line 2, [Data] Period: 'abc' is not a whole number; 1 is used instead",
        "kelvox.ini line 3, [Data] AutoConnect: 'maybe' is not a valid boolean value"};
    EXPECT_EQ(Check(), expected);
    EXPECT_EQ(Core().Reload(), expected[1]);
    EXPECT_EQ(Log().mid(Log().size() - 2),
              (QStringList{"ERR  " + expected[0] + ". The settings stay as they were.",
                           "ERR  " + expected[1] + ". The settings stay as they were."}));

    QTest::qWait(1200);
    WriteIni("[Data]\r\nPeriod=500\r\n");
    const QString clamped =
        "kelvox.ini line 2, [Data] Period: '500' is out of range (0 to 100); 100 is used instead";
    EXPECT_EQ(Check(), QStringList{clamped});
    EXPECT_EQ(Core().Reload(), QString());
    EXPECT_EQ(Log().mid(Log().size() - 2),
              (QStringList{"ERR  " + clamped + ".", "OK  Settings reloaded."}));
    EXPECT_EQ(Core().Settings().Integer(Setting::Period), 100);
    EXPECT_LE(Core().Upload().Timer()->remainingTime(), 100 * 1000 - 500);
}

// What the reader passes over: a key it does not know in a section it owns,
// a section or key given twice, text after ']', a key outside any section.
TEST_F(SettingsCheckTest, WhatWouldBeIgnoredIsNamedWithItsLine) {
    WriteIni("Stray=1\n[Data]\nCOM=2\nPeriod=3\ncom=4\n[Ports] below gives\nPeriod=5\n"
             "COM7=/dev/x\nCOMX=/dev/y\n[MQTT]\nColour=red\n[data]\nCOM=9\n[Other]\nAny=1\n");
    EXPECT_EQ(
        Check(),
        (QStringList{
            "kelvox.ini line 1: 'Stray=1' stands before any section; it is ignored",
            "kelvox.ini line 5: [Data] com is given again (first on line 3); the value on line 3 "
            "is used",
            "kelvox.ini line 6: the line opens section [Ports]; the text after its ']' ('below "
            "gives') is ignored",
            "kelvox.ini line 7: [Ports] Period is not a port entry (COM1 to COM65535); it is "
            "ignored",
            "kelvox.ini line 9: [Ports] COMX is not a port entry (COM1 to COM65535); it is ignored",
            "kelvox.ini line 11: [MQTT] Colour is not a key of this program; it is ignored",
            "kelvox.ini line 12: section [data] is given again (first on line 2); only the one on "
            "line 2 is read, the keys below line 12 are ignored"}));
    Start();
    EXPECT_EQ(Link().ComNumber(), 2); // first match wins, as the check says
    EXPECT_TRUE(Log().contains("ERR  kelvox.ini line 1: 'Stray=1' stands before any section; it "
                               "is ignored."));
}

// A time-series address or token the output cannot use is named (never the
// token itself) and leaves the output off; the rest of the file is taken.
TEST_F(SettingsCheckTest, ATimeSeriesSettingItCannotUseLeavesTheOutputOff) {
    WriteIni("[TimeSeries]\r\nURL=ftp://db/write\r\nToken=se\x01cret\r\nSpoolLimitMB=0\r\n");
    const QString off = QStringLiteral("; the time-series output stays off");
    EXPECT_EQ(Check(), (QStringList{"kelvox.ini line 2, [TimeSeries] URL: 'ftp://db/write' is not "
                                    "an http:// or https:// address" +
                                        off,
                                    "kelvox.ini line 3, [TimeSeries] Token: the token holds a "
                                    "control character" +
                                        off,
                                    "kelvox.ini line 4, [TimeSeries] SpoolLimitMB: '0' is out of "
                                    "range (1 to 1048576); 1 is used instead"}));
    Start();
    EXPECT_EQ(Core().TimeSeries().Status().State, TimeSeriesState::Off);
}

// A service's file gets no window keys it did not have.
TEST_F(SettingsCheckTest, AHeadlessSaveAddsNoWindowKeys) {
    Deps.Headless = true;
    Start("[Main]\r\nTop=5\r\n[Data]\r\nCOM=2\r\n");
    Core().SaveSettings();
    QFile f(Paths().IniPath());
    ASSERT_TRUE(f.open(QIODevice::ReadOnly));
    const QByteArray saved = f.readAll();
    EXPECT_TRUE(saved.startsWith("[Main]\r\nTop=5\r\n[Data]\r\nCOM=2\r\n")) << saved.toStdString();
    EXPECT_TRUE(saved.contains("Period=1\r\n"));
    EXPECT_FALSE(saved.contains("Height") || saved.contains("AlwaysOnTop")) << saved.toStdString();
}
