// The close of the core: the settings and the event log saved, each on its
// own, the day's log kept across runs, and failures reported in a box or,
// for a close that a signal asked for, on standard error and in the log.
#include "support/CoreFixture.h"
#include "support/FullDisk.h"

#include <QDir>
#include <QFileInfo>
#include <QSignalSpy>

namespace {

class CloseTest : public CoreFixture {
protected:
    void SetUp() override {
        CoreFixture::SetUp();
        platform::FormatSettings fs;
        fs.DecimalSeparator = QStringLiteral(",");
        fs.ShortDateFormat = "%d/%m/%Y"; // slashes: the file name must cope
        fs.LongTimeFormat = "%H:%M:%S";
        platform::FormatSettings::SetCurrent(fs);
        Start();
    }
    void Restart() {
        Stop();
        Start();
    }
    QString EventLog() const { return Home.path() + "/kelvox - 03-07-2026.log"; }
    QString Ini() const { return Paths().IniPath(); }
    static QByteArray Read(const QString& path) {
        QFile f(path);
        return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
    }
    void Add(const QString& text) { Core().Log().Add(text); }
};

} // namespace

TEST_F(CloseTest, CloseSavesSettingsAndTheEventLogToWhichASecondRunAppends) {
    Core().Settings().SetInteger(Setting::MainTop, 22);
    Add("OK  one");
    Add("ERR  two");
    QSignalSpy closed(&Core(), &TKelvoxCore::Closed);
    Core().Close(/*quiet=*/false);
    EXPECT_EQ(closed.count(), 1);
    EXPECT_EQ(Read(EventLog()), "14:05:09 >  OK  one\r\n14:05:09 >  ERR  two\r\n");
    EXPECT_TRUE(Read(Ini()).startsWith("[Main]\r\nTop=22\r\n")) << Read(Ini()).toStdString();
    EXPECT_TRUE(Boxes.empty());
    EXPECT_FALSE(Core().SaveFailedAtClose());

    Restart(); // the next run on the same date keeps the first run's lines
    Add("OK  three");
    Core().Close(/*quiet=*/false);
    EXPECT_EQ(Read(EventLog()),
              "14:05:09 >  OK  one\r\n14:05:09 >  ERR  two\r\n14:05:09 >  OK  three\r\n");
    // No temporary files are left behind.
    EXPECT_EQ(QDir(Home.path()).entryList(QDir::Files).size(), 2);
}

TEST_F(CloseTest, AFullDiskAtCloseKeepsBothFilesAndIsReported) {
    Core().Settings().SetInteger(Setting::MainTop, 22);
    Add("OK  first run");
    Core().Close(/*quiet=*/false);
    const QByteArray ini = Read(Ini()), log = Read(EventLog());
    Restart();
    Core().Settings().SetInteger(Setting::MainTop, 44); // a change the file has to take
    Add("OK  a second run");
    {
        FullDisk full(static_cast<rlim_t>(log.size() + 10)); // part of a line fits
        Core().Close(/*quiet=*/false);
    }
    EXPECT_TRUE(Core().SaveFailedAtClose());
    EXPECT_EQ(Read(Ini()), ini);
    EXPECT_EQ(Read(EventLog()), log);
    EXPECT_FALSE(QFile::exists(Ini() + ".tmp"));
    EXPECT_FALSE(Boxes.empty());
}

TEST_F(CloseTest, AFailedSaveIsReportedAndTheOtherFileStillWritten) {
    // A directory where the event log should go: it cannot be replaced.
    ASSERT_TRUE(QDir().mkpath(EventLog()));
    Core().Settings().SetInteger(Setting::MainTop, 22);
    Add("OK  kept");
    QSignalSpy closed(&Core(), &TKelvoxCore::Closed);
    Core().Close(/*quiet=*/false);
    EXPECT_EQ(closed.count(), 1);
    ASSERT_EQ(Boxes.size(), 1u);
    EXPECT_EQ(Boxes[0].Caption, "Kelvox");
    EXPECT_EQ(Boxes[0].Icon, platform::MsgIcon::Error);
    EXPECT_TRUE(Boxes[0].Text.startsWith("Cannot create file \"" + EventLog() + "\"."))
        << Boxes[0].Text.toStdString();
    EXPECT_TRUE(QFileInfo(Ini()).isFile());
    ASSERT_TRUE(QDir(EventLog()).removeRecursively());

    // And the other way round: the settings file cannot be written.
    Boxes.clear();
    Restart();
    ASSERT_TRUE(QFile::remove(Ini()));
    ASSERT_TRUE(QDir().mkpath(Ini()));
    Add("OK  still saved");
    Core().Close(/*quiet=*/false);
    ASSERT_EQ(Boxes.size(), 1u);
    EXPECT_EQ(Boxes[0].Caption, "Kelvox");
    EXPECT_EQ(Read(EventLog()), "14:05:09 >  OK  still saved\r\n");
}

// A close that a stop signal asked for may have nobody to answer a box (a
// logout, a service manager): failures go to standard error and the event
// log, and the program still ends.
TEST_F(CloseTest, ASignalledCloseReportsFailuresWithoutABox) {
    ASSERT_TRUE(QDir().mkpath(Ini())); // cannot be written
    QSignalSpy closed(&Core(), &TKelvoxCore::Closed);
    Core().Close(/*quiet=*/true);
    EXPECT_EQ(closed.count(), 1);
    EXPECT_TRUE(Boxes.empty());
    EXPECT_TRUE(Core().SaveFailedAtClose());
    EXPECT_TRUE(Read(EventLog()).contains(" >  ERR  Cannot read the settings file"))
        << Read(EventLog()).toStdString();
}
