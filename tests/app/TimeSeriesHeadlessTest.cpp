// The real program with its time-series output to Debian's VictoriaMetrics:
// the receiver stops, the program is killed with SIGKILL during the outage
// and started again, and when the receiver is back it holds every reading
// the program read, once, with the time it arrived.
#include "support/Pty.h"
#include "support/TimeSeriesServers.h"

#include <QDateTime>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

#include <gtest/gtest.h>

namespace {

class TimeSeriesHeadless : public ::testing::Test {
protected:
    void Launch() {
        Out.clear();
        Pty = std::make_unique<TestPty>();
        Ports.Link(1, Pty->SlavePath());
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("KELVOX_HOME", Home.path());
        env.insert("LC_ALL", "C.UTF-8");
        env.insert("no_proxy", "127.0.0.1");
        env.remove("QT_QPA_PLATFORM");
        Kelvox.setProcessEnvironment(env);
        Kelvox.start(QStringLiteral(KELVOX_BINARY_DIR "/kelvox"), {"--headless"});
        ASSERT_TRUE(Kelvox.waitForStarted(30000));
        ASSERT_TRUE(WaitFor("Serial port COM1 opened")) << Out.toStdString();
    }
    bool WaitFor(const char* text, int ms = 30000) {
        return QTest::qWaitFor(
            [&] {
                Out += Kelvox.readAllStandardOutput();
                return Out.contains(text);
            },
            ms);
    }
    // Readings 20.0, 20.1, ... a fifth of a second apart; each counts as
    // fed once the program has taken its bytes.
    void Feed(int count) {
        for (int i = 0; i < count; ++i) {
            const int tenths = 200 + static_cast<int>(Fed.size());
            char line[32];
            std::snprintf(line, sizeof line, "+%03d.%dC\r", tenths / 10, tenths % 10);
            const qint64 before = QDateTime::currentMSecsSinceEpoch();
            ASSERT_TRUE(Pty->Write(line));
            ASSERT_TRUE(QTest::qWaitFor([&] { return Pty->SlaveQueued() == 0; }, 5000));
            Fed.push_back({before, tenths / 10.0});
            QTest::qWait(200);
        }
    }

    QTemporaryDir Home;
    // A new terminal for each run: the test's own hold on the old one keeps
    // the killed program's exclusive-use flag on it.
    std::unique_ptr<TestPty> Pty;
    PortDir Ports;
    QProcess Kelvox;
    QByteArray Out;
    std::vector<StoredPoint> Fed; // the time just before the program had it
};

TEST_F(TimeSeriesHeadless, AKilledProgramLosesNoReadingOfAnOutage) {
    TimeSeriesServer vm(false, Home.path() + QStringLiteral("/vm"));
    ASSERT_TRUE(vm.Start());
    QFile ini(Home.path() + QStringLiteral("/kelvox.ini"));
    ASSERT_TRUE(ini.open(QIODevice::WriteOnly));
    ini.write(("[Data]\r\nCOM=1\r\nPeriod=0\r\nAutoConnect=-1\r\n[TimeSeries]\r\nURL=" + vm.Base() +
               "/write?db=home\r\n")
                  .c_str());
    ini.close();

    Launch();
    Feed(5);
    ASSERT_EQ(vm.Points(5).size(), 5u);
    EXPECT_FALSE(QDir(Home.path() + "/backlog").exists()); // nothing on disk while it answers
    vm.Stop();
    Feed(5);
    ASSERT_TRUE(WaitFor("5 readings are kept in the backlog")) << Out.toStdString();
    Feed(5); // straight into the backlog
    QTest::qWait(300);
    Kelvox.kill();
    ASSERT_TRUE(Kelvox.waitForFinished(10000));

    Launch();
    EXPECT_TRUE(Out.contains("10 readings since")) << Out.toStdString();
    Feed(5);
    ASSERT_TRUE(vm.Start());
    ASSERT_TRUE(WaitFor("the backlog is sent (15 readings")) << Out.toStdString();
    const std::vector<StoredPoint> stored = vm.Points(Fed.size());
    ASSERT_EQ(stored.size(), Fed.size());
    for (std::size_t i = 0; i < Fed.size(); ++i) {
        EXPECT_NEAR(stored[i].second, Fed[i].second, 1e-9) << i;
        // The time it arrived, not the time it was sent.
        EXPECT_GE(stored[i].first, Fed[i].first) << i;
        EXPECT_LT(stored[i].first, Fed[i].first + 1000) << i;
    }
    Kelvox.terminate();
    Kelvox.waitForFinished(30000);
}

} // namespace
