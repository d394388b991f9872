// The upload of the core: what reaches a real server on 127.0.0.1 through
// the fetch, what the event log says, and the temperature log it appends
// to. Here rather than beside the core's other tests, since the fetch is
// linked in (the program loads it as a module).
#include "net/LocalHttpServer.h"
#include "net/uHTML.h"
#include "support/CoreFixture.h"
#include "support/FaultyHttpServer.h"
#include "support/Formats.h"
#include "support/Loopback.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSignalSpy>
#include <QTimer>
#include <QUrl>

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

namespace {

const QString kOk = QStringLiteral(" >  OK  Information successfully send");
const QString kErr = QStringLiteral(" >  ERR  Information cannot nepodařilo odeslat!");

class UploadTest : public CoreFixture {
protected:
    static void SetUpTestSuite() {
        setenv("no_proxy", "127.0.0.1,localhost", 1);
        setenv("NO_PROXY", "127.0.0.1,localhost", 1);
    }

    void SetUp() override {
        CoreFixture::SetUp();
        platform::FormatSettings::SetCurrent(CommaFormats());
        Now = QDateTime(QDate(2026, 7, 12), QTime(10, 0, 0));

        auto& s = Server.Server();
        s.Get("/t.php", [](const httplib::Request&, httplib::Response& res) {
            res.set_content("OK", "text/plain");
        });
        s.Get("/moved.php", [](const httplib::Request& req, httplib::Response& res) {
            res.set_redirect("/t.php?" + req.target.substr(req.target.find('?') + 1), 302);
        });
        Server.Start();

        // A shorter time-out than the program's 20 s: only that a send
        // which never ends is cut off and logged is tested here.
        Build(60000);
    }
    void Build(int minuteMs) {
        FetchOptions options;
        options.TotalTimeout = std::chrono::seconds(4);
        Deps.Fetch = NewUrlFetcher(options);
        Deps.MinuteMs = minuteMs;
        Start();
        Timer()->stop(); // automatic sends only where a test starts them
        Target(Server.BaseUrl() + "/t.php?t=");
    }

    void TearDown() override {
        Stop();
        EXPECT_TRUE(Boxes.empty()) << Boxes.front().Text.toStdString();
    }

    QTimer* Timer() { return Core().Upload().Timer(); }
    void Target(const std::string& url) {
        Core().Settings().SetText(Setting::TargetURL, QString::fromStdString(url));
    }
    void KeepTemperatureLog() { Core().Settings().SetCheck(Setting::GeneTemp, true); }
    std::vector<std::string> Targets() const {
        std::vector<std::string> out;
        for (const auto& r : Server.Requests())
            out.push_back(r.Target);
        return out;
    }
    // A send, and its end: the request runs beside the event loop.
    void Sending(const std::function<void()>& ask) {
        QSignalSpy ended(&Core().Upload(), &TUploader::Sent);
        ask();
        EXPECT_TRUE(ended.count() > 0 || ended.wait(30000));
    }
    void ManualSend() {
        Sending([this] { Core().Upload().Send(/*manual=*/true); });
    }
    void AutomaticSend() {
        Sending([this] { Core().Upload().Send(/*manual=*/false); });
    }

    QByteArray TemperatureLog(QDate day) const {
        QFile f(Paths().TemperatureLogPath(QDateTime(day, QTime(12, 0))));
        return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
    }

    LocalHttpServer Server;
};

TEST_F(UploadTest, ManualSendAppendsTheTemperatureTextAndLogsSuccess) {
    Link().Feed("+25.6C\r");
    ManualSend();
    EXPECT_EQ(Targets(), std::vector<std::string>{"/t.php?t=25,6"});
    const QStringList lines = LogLines();
    ASSERT_EQ(lines.size(), 1);
    EXPECT_EQ(lines[0], "10:00:00" + kOk);

    // The URL is the field's text at the moment of sending.
    Target(Server.BaseUrl() + "/t.php?x=1&t=");
    Link().Feed("-3.26C\r");
    ManualSend();
    EXPECT_EQ(Targets().back(), "/t.php?x=1&t=-3,3");
    // A redirect to a good answer counts as sent.
    Target(Server.BaseUrl() + "/moved.php?t=");
    ManualSend();
    EXPECT_EQ(Targets().back(), "/t.php?t=-3,3");
    EXPECT_EQ(LogLines().size(), 3);
    EXPECT_FALSE(LogLines().join('\n').contains("ERR"));
}

// A reading as it comes from the thermometer's port is the one sent.
TEST_F(UploadTest, AReadingFromThePortIsWhatIsSent) {
    Stop();
    LinkPty();
    Build(60000);
    Connect();
    ASSERT_TRUE(Pty.Write("+022.5C\r"));
    ASSERT_TRUE(QTest::qWaitFor([this] { return Link().Temperature() == 22.5L; }, 10000));
    ManualSend();
    EXPECT_EQ(Targets(), std::vector<std::string>{"/t.php?t=22,5"});
}

TEST_F(UploadTest, SpecialValuesAndSchemeLessTarget) {
    // Before the first reading: no live reading, the no-reading value.
    ManualSend();
    // A failed conversion.
    Link().Feed("-\r");
    ManualSend();
    // Thousands separators are part of the text (a blank goes out encoded).
    Link().Feed("+1234.5C\r");
    ManualSend();
    // Point locale, and a target without a scheme.
    platform::FormatSettings point;
    platform::FormatSettings::SetCurrent(point);
    Target(Server.HostPort() + "/t.php?t=");
    Link().Feed("+0.0C\r");
    ManualSend();
    EXPECT_EQ(Targets(), (std::vector<std::string>{"/t.php?t=-100,0", "/t.php?t=-100,0",
                                                   "/t.php?t=1%20234,5", "/t.php?t=0.0"}));
    EXPECT_EQ(LogLines().filter(kOk).size(), 4);
}

TEST_F(UploadTest, TimerSendsAutomaticallyWithoutLoggingSuccess) {
    Link().Feed("+21.5C\r");
    Timer()->setInterval(30);
    Timer()->start();
    EXPECT_TRUE(QTest::qWaitFor([&] { return Server.Requests().size() >= 3; }, 30000));
    Timer()->stop();
    for (const auto& target : Targets())
        EXPECT_EQ(target, "/t.php?t=21,5");
    EXPECT_TRUE(LogLines().isEmpty()) << LogLines().join('\n').toStdString();
}

TEST_F(UploadTest, PeriodFieldDrivesTheTimerAndZeroStopsIt) {
    Stop();
    Build(20);
    Core().Settings().SetInteger(Setting::Period, 2);
    EXPECT_TRUE(QTest::qWaitFor([&] { return Server.Requests().size() >= 2; }, 30000));

    Core().Settings().SetInteger(Setting::Period, 0);
    EXPECT_FALSE(Timer()->isActive());
    // A send asked for before may still be under way.
    EXPECT_TRUE(QTest::qWaitFor([this] { return !Core().Upload().Busy(); }, 30000));
    const std::size_t before = Server.Requests().size();
    QTest::qWait(300); // fifteen periods of the old setting
    EXPECT_EQ(Server.Requests().size(), before);
    EXPECT_TRUE(LogLines().isEmpty());

    // "Send" still works and says so.
    ManualSend();
    EXPECT_EQ(Server.Requests().size(), before + 1);
    EXPECT_EQ(LogLines().filter(kOk).size(), 1);
}

TEST_F(UploadTest, FailedSendsAreLoggedForManualAndAutomaticAlike) {
    Target(Server.BaseUrl() + "/nothing.php?t=");
    ManualSend();
    AutomaticSend();
    Target("http://127.0.0.1:" + std::to_string(ClosedPort()) + "/t.php?t=");
    ManualSend();
    AutomaticSend();
    // Each failure line says why, after the line as the user knows it.
    EXPECT_EQ(LogLines(),
              (QStringList{"10:00:00" + kErr + " (HTTP 404)", "10:00:00" + kErr + " (HTTP 404)",
                           "10:00:00" + kErr + " (connection refused)",
                           "10:00:00" + kErr + " (connection refused)"}));
    EXPECT_EQ(Server.Requests().size(), 2u); // the 404s reached the server
}

// A server that resets or floods: the send fails with its line and cause
// (a body without end is read until the time limit), the temperature log
// keeps its line, and the next server is served as usual.
TEST_F(UploadTest, ResettingAndFloodingServersAreLoggedAndSendingGoesOn) {
    FaultyHttpServer faulty(FaultyHttpServer::Mode::Reset);
    KeepTemperatureLog();
    Target(faulty.BaseUrl() + "/t.php?t=");
    ManualSend();
    faulty.SetMode(FaultyHttpServer::Mode::FloodBody);
    AutomaticSend();
    Target(Server.BaseUrl() + "/t.php?t=");
    ManualSend();
    EXPECT_EQ(LogLines(), (QStringList{"10:00:00" + kErr + " (connection closed by the server)",
                                       "10:00:00" + kErr + " (timed out)", "10:00:00" + kOk}));
    EXPECT_EQ(faulty.Requests(), 2);
    EXPECT_EQ(TemperatureLog(QDate(2026, 7, 12)).count('\n'), 3);
}

// An empty target is no address: "http://" alone would ask this machine.
TEST_F(UploadTest, AnEmptyTargetIsNotRequestedAndIsLogged) {
    for (const QString& target : {QString(), QStringLiteral("  ")}) {
        Core().Settings().SetText(Setting::TargetURL, target);
        ManualSend();
    }
    EXPECT_EQ(LogLines(), (QStringList{"10:00:00" + kErr + " (no target URL)",
                                       "10:00:00" + kErr + " (no target URL)"}));
    EXPECT_TRUE(Server.Requests().empty());
}

TEST_F(UploadTest, TemperatureLogGetsOneLinePerSendWhateverTheOutcome) {
    // Not asked for: no file.
    ManualSend();
    EXPECT_TRUE(QDir(Home.path()).entryList({"Temperature(*"}).isEmpty());

    KeepTemperatureLog();
    Link().Feed("+20.5C\r");
    ManualSend();
    Now = QDateTime(QDate(2026, 7, 12), QTime(10, 1, 0));
    AutomaticSend();
    Target(Server.BaseUrl() + "/nothing.php?t=");
    Now = QDateTime(QDate(2026, 7, 12), QTime(10, 2, 0));
    Link().Feed("-100.0C\r");
    ManualSend(); // failed, still logged
    EXPECT_EQ(TemperatureLog(QDate(2026, 7, 12)), "12.07.2026\t10:00:00\t20,5\r\n"
                                                  "12.07.2026\t10:01:00\t20,5\r\n"
                                                  "12.07.2026\t10:02:00\t-100,0\r\n");

    // The next day starts a new file; yesterday's stays as it was.
    Now = QDateTime(QDate(2026, 7, 13), QTime(0, 0, 5));
    AutomaticSend();
    EXPECT_EQ(TemperatureLog(QDate(2026, 7, 13)), "13.07.2026\t00:00:05\t-100,0\r\n");
    EXPECT_EQ(TemperatureLog(QDate(2026, 7, 12)).count('\n'), 3);
}

TEST_F(UploadTest, UnwritableTemperatureLogLosesNothingElse) {
    KeepTemperatureLog();
    // A directory in the place of today's file: never written into.
    const QString today = Paths().TemperatureLogPath(QDateTime(QDate(2026, 7, 12), QTime(12, 0)));
    ASSERT_TRUE(QDir().mkpath(today));
    EXPECT_NO_THROW(ManualSend());
    EXPECT_EQ(Server.Requests().size(), 1u);
    // The send's own line, then the one saying the temperature log failed.
    ASSERT_EQ(LogLines().size(), 2);
    EXPECT_EQ(LogLines()[0], "10:00:00" + kOk);
    EXPECT_TRUE(LogLines()[1].startsWith("10:00:00 >  ERR  Temperature log cannot be written ("))
        << LogLines()[1].toStdString();

    // A read-only file (only refused when not running as root).
    ASSERT_TRUE(QDir().rmdir(today));
    {
        QFile f(today);
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    }
    ASSERT_EQ(chmod(QFile::encodeName(today).constData(), 0444), 0);
    EXPECT_NO_THROW(AutomaticSend());
    EXPECT_EQ(Server.Requests().size(), 2u);
    // Still failing (or, as root, written again): no second failure line,
    // and the automatic send itself says nothing.
    EXPECT_EQ(LogLines().filter(QStringLiteral("ERR")).size(), 1);
    EXPECT_EQ(LogLines().size(), geteuid() == 0 ? 3 : 2);
    EXPECT_EQ(QFileInfo(today).size(), geteuid() == 0 ? 28 : 0);
}

// The program goes on while a server keeps a send waiting; the asks made
// meanwhile become one send, with the reading and target of its own start.
TEST_F(UploadTest, WindowGoesOnDuringAHangingSendAndAsksMeanwhileMakeOneMore) {
    SilentListener silent;
    Target("http://127.0.0.1:" + std::to_string(silent.Port()) + "/t.php?t=");
    QSignalSpy ended(&Core().Upload(), &TUploader::Sent);
    Link().Feed("+20.0C\r");
    Core().Upload().Send(/*manual=*/true);
    bool ticked = false;
    QTimer::singleShot(50, [&] { ticked = true; });
    EXPECT_TRUE(QTest::qWaitFor([&] { return ticked; }, 2000));
    EXPECT_EQ(ended.count(), 0);

    Core().Upload().Send(/*manual=*/false);
    Core().Upload().Send(/*manual=*/true);
    Core().Upload().Send(/*manual=*/false);
    Link().Feed("+21.5C\r");
    Target(Server.BaseUrl() + "/t.php?t=");
    EXPECT_TRUE(QTest::qWaitFor([&] { return ended.count() >= 2; }, 30000));
    QTest::qWait(100); // no third send follows
    EXPECT_EQ(ended.count(), 2);
    EXPECT_EQ(Targets(), std::vector<std::string>{"/t.php?t=21,5"});
    EXPECT_EQ(LogLines(), (QStringList{"10:00:00" + kErr + " (timed out)", "10:00:00" + kOk}));
}

} // namespace

namespace {

// {value} and {time} are replaced and encoded; with {time}, the periodic
// sends that failed are sent again in order, each with its own value and
// time, once the server answers; a manual one and one without {time} never.
TEST_F(UploadTest, MissedPeriodicSendsWithTheirTimeAreSentAgainInOrder) {
    const auto at = [](const QDateTime& t) {
        return QUrl::toPercentEncoding(t.toUTC().toString(Qt::ISODate)).toStdString();
    };
    Target(Server.BaseUrl() + "/nothing.php?v={value}");
    AutomaticSend();
    Target(Server.BaseUrl() + "/t.php?v={value}");
    AutomaticSend();
    EXPECT_EQ(Targets(),
              (std::vector<std::string>{"/nothing.php?v=-100%2C0", "/t.php?v=-100%2C0"}));

    Target(Server.BaseUrl() + "/nothing.php?v={value}&at={time}");
    const QDateTime first = Now;
    AutomaticSend();
    Now = Now.addSecs(60);
    const QDateTime second = Now;
    AutomaticSend();
    Now = Now.addSecs(30);
    ManualSend(); // not kept
    EXPECT_EQ(Core().Upload().Backlog(), 2);
    Target(Server.BaseUrl() + "/t.php?at={time}&v={value}");
    Now = Now.addSecs(30);
    AutomaticSend();
    ASSERT_TRUE(WaitForLog("OK  2 missed sends were sent again with their times."))
        << Log().join('\n').toStdString();
    const std::vector<std::string> targets = Targets();
    ASSERT_EQ(targets.size(), 8u);
    EXPECT_EQ(std::vector<std::string>(targets.begin() + 5, targets.end()),
              (std::vector<std::string>{"/t.php?at=" + at(Now) + "&v=-100%2C0",
                                        "/t.php?at=" + at(first) + "&v=-100%2C0",
                                        "/t.php?at=" + at(second) + "&v=-100%2C0"}));
    EXPECT_EQ(Core().Upload().Backlog(), 0);
    EXPECT_TRUE(QDir(Paths().Dir + "/backlog").entryList(QDir::Files).isEmpty());
}

} // namespace
