// The real program, headless: SIGUSR1 sends at once, as the "Send" button
// does, to the target URL from its settings file.
#include "net/LocalHttpServer.h"
#include "support/ChildProcess.h"
#include "support/Loopback.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <csignal>
#include <cstring>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>
#include <vector>

namespace {

const QString kBinary = QStringLiteral(KELVOX_BINARY_DIR "/kelvox");

// Reads standard output until a line containing text came; returns that line.
QString WaitForLine(QProcess& p, const QString& text, QByteArray& seen) {
    QElapsedTimer clock;
    clock.start();
    while (clock.elapsed() < 30000) {
        while (p.canReadLine()) {
            const QString line = QString::fromUtf8(p.readLine()).trimmed();
            seen += line.toUtf8() + '\n';
            if (line.contains(text))
                return line;
        }
        if (p.state() == QProcess::NotRunning)
            break;
        p.waitForReadyRead(200);
    }
    return {};
}

class UploadHeadless : public ::testing::Test {
protected:
    void SetUp() override {
        Server.Server().Get("/t.php", [](const httplib::Request&, httplib::Response& res) {
            res.set_content("OK", "text/plain");
        });
        Server.Start();
    }

    void Start(const std::string& target, const QProcessEnvironment& extra = {}) {
        QFile ini(Home.path() + "/kelvox.ini");
        ASSERT_TRUE(ini.open(QIODevice::WriteOnly));
        ini.write(("[Data]\r\nTargetURL=" + target + "\r\nPeriod=0\r\nGeneTemp=-1\r\n").c_str());
        ini.close();
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("KELVOX_HOME", Home.path());
        env.insert("LC_ALL", "C.UTF-8");
        env.insert("no_proxy", "127.0.0.1");
        env.remove("QT_QPA_PLATFORM");
        env.insert(extra);
        Process.setProcessEnvironment(env);
        Process.start(kBinary, {"--headless"});
        ASSERT_TRUE(Process.waitForStarted(30000));
        ASSERT_TRUE(WaitUntilCatching(Process.processId(), SIGUSR1));
    }

    void Signal(int signo) { ::kill(static_cast<pid_t>(Process.processId()), signo); }

    void StopAndExpectCleanExit() {
        Signal(SIGTERM);
        ASSERT_TRUE(Process.waitForFinished(60000));
        EXPECT_EQ(Process.exitStatus(), QProcess::NormalExit);
        EXPECT_EQ(Process.exitCode(), 0) << Process.readAllStandardError().toStdString();
    }

    QStringList TemperatureLogLines() const {
        const QStringList files = QDir(Home.path()).entryList({"Temperature(*).log"}, QDir::Files);
        if (files.size() != 1)
            return {QStringLiteral("files: ") + files.join(',')};
        QFile f(Home.path() + '/' + files[0]);
        if (!f.open(QIODevice::ReadOnly))
            return {};
        return QString::fromUtf8(f.readAll()).split("\r\n", Qt::SkipEmptyParts);
    }

    QTemporaryDir Home;
    LocalHttpServer Server;
    QProcess Process;
};

TEST_F(UploadHeadless, SigUsr1SendsAndReportsSuccess) {
    Start(Server.BaseUrl() + "/t.php?t=");
    Signal(SIGUSR1);
    QByteArray seen;
    const QString line = WaitForLine(Process, "Information", seen);
    EXPECT_TRUE(line.endsWith(" >  OK  Information successfully send")) << seen.toStdString();
    ASSERT_TRUE(Server.WaitForRequests(1));
    EXPECT_EQ(Server.Requests()[0].Target, "/t.php?t=-100.0"); // no port, no reading
    EXPECT_EQ(Server.Requests()[0].UserAgent, "InetURL:/1.0");

    Signal(SIGUSR1);
    ASSERT_TRUE(Server.WaitForRequests(2));
    EXPECT_FALSE(WaitForLine(Process, "Information", seen).isEmpty());
    // The fetch is the network module's, loaded at the first send.
    QFile maps(QStringLiteral("/proc/%1/maps").arg(Process.processId()));
    ASSERT_TRUE(maps.open(QIODevice::ReadOnly));
    EXPECT_TRUE(maps.readAll().contains("libcurl"));
    StopAndExpectCleanExit();
    const QStringList lines = TemperatureLogLines();
    ASSERT_EQ(lines.size(), 2) << lines.join('|').toStdString();
    EXPECT_TRUE(lines[0].endsWith("\t-100.0")) << lines[0].toStdString();
}

TEST_F(UploadHeadless, SigUsr1ToAnUnreachableServerReportsTheFailure) {
    Start("http://127.0.0.1:" + std::to_string(ClosedPort()) + "/t.php?t=");
    Signal(SIGUSR1);
    QByteArray seen;
    const QString line = WaitForLine(Process, "Information", seen);
    EXPECT_TRUE(
        line.endsWith(" >  ERR  Information cannot nepodařilo odeslat! (connection refused)"))
        << seen.toStdString();
    StopAndExpectCleanExit();
    // Logged although the send failed.
    EXPECT_EQ(TemperatureLogLines().size(), 1);
}

// A server that takes the request and never answers holds up neither the
// watchdog (pinged at half of WATCHDOG_USEC) nor a stop, which cancels the
// send under way and still saves the event log.
TEST_F(UploadHeadless, AHangingServerHoldsUpNeitherWatchdogNorStop) {
    const QByteArray path = QFile::encodeName(Home.path() + "/notify");
    const int sock = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::strncpy(addr.sun_path, path.constData(), sizeof(addr.sun_path) - 1);
    ASSERT_EQ(::bind(sock, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)), 0);
    std::vector<qint64> pings; // when each WATCHDOG=1 came, in ms
    QElapsedTimer clock;
    auto listen = [&](qint64 until, const char* what) {
        bool heard = false;
        for (; clock.elapsed() < until && !heard;) {
            pollfd pfd{sock, POLLIN, 0};
            char buf[4096];
            const ssize_t n = ::poll(&pfd, 1, 50) > 0 ? ::recv(sock, buf, sizeof buf, 0) : 0;
            const QByteArray message(buf, static_cast<int>(std::max<ssize_t>(n, 0)));
            if (message.contains("WATCHDOG=1"))
                pings.push_back(clock.elapsed());
            heard = what && message.contains(what);
        }
        return heard;
    };

    SilentListener silent;
    QProcessEnvironment extra;
    extra.insert("NOTIFY_SOCKET", QString::fromLocal8Bit(path));
    extra.insert("WATCHDOG_USEC", "1000000");
    clock.start();
    Start("http://127.0.0.1:" + std::to_string(silent.Port()) + "/t.php?t=", extra);
    ASSERT_TRUE(listen(30000, "READY=1"));
    Signal(SIGUSR1);
    Signal(SIGUSR1);
    const qint64 hangFrom = clock.elapsed();
    pings.clear();
    listen(hangFrom + 6000, nullptr); // well within the request's 20 s
    ASSERT_GE(pings.size(), 2u);
    qint64 gap = pings.front() - hangFrom;
    for (std::size_t i = 1; i < pings.size(); ++i)
        gap = std::max(gap, pings[i] - pings[i - 1]);
    gap = std::max(gap, hangFrom + 6000 - pings.back());
    EXPECT_LT(gap, 4000);

    QElapsedTimer stopping;
    stopping.start();
    StopAndExpectCleanExit();
    EXPECT_LT(stopping.elapsed(), 8000); // not the rest of the 20 s
    EXPECT_TRUE(listen(clock.elapsed() + 1000, "STOPPING=1"));
    ::close(sock);
    const QByteArray out = Process.readAllStandardOutput();
    EXPECT_EQ(out.count("Information"), 1) << out.toStdString();
    const QStringList logs = QDir(Home.path()).entryList({"kelvox - *.log"}, QDir::Files);
    ASSERT_EQ(logs.size(), 1);
    QFile log(Home.path() + '/' + logs[0]);
    ASSERT_TRUE(log.open(QIODevice::ReadOnly));
    EXPECT_TRUE(log.readAll().contains("(cancelled, the program is closing)"));
    EXPECT_EQ(TemperatureLogLines().size(), 1);
}

} // namespace
