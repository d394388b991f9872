// The real program, headless: SIGUSR1 sends at once, as the "Send" button
// does, to the target URL from its settings file.
#include "net/LocalHttpServer.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QThread>

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <csignal>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

const QString kBinary = QStringLiteral(KELVOX_BINARY_DIR "/kelvox");

// True once the process catches signo (its SigCgt mask in /proc), so that
// the signal is served instead of killing it.
bool WaitUntilCatching(qint64 pid, int signo) {
    QElapsedTimer clock;
    clock.start();
    while (clock.elapsed() < 30000) {
        QFile status(QStringLiteral("/proc/%1/status").arg(pid));
        if (status.open(QIODevice::ReadOnly)) {
            for (const QByteArray& line : status.readAll().split('\n')) {
                bool ok = false;
                const qulonglong mask = line.mid(7).trimmed().toULongLong(&ok, 16);
                if (line.startsWith("SigCgt:") && ok && ((mask >> (signo - 1)) & 1u))
                    return true;
            }
        }
        QThread::msleep(20);
    }
    return false;
}

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

int ClosedPort() {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
    getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len);
    close(fd);
    return ntohs(addr.sin_port);
}

class UploadHeadless : public ::testing::Test {
protected:
    void SetUp() override {
        Server.Server().Get("/t.php", [](const httplib::Request&, httplib::Response& res) {
            res.set_content("OK", "text/plain");
        });
        Server.Start();
    }

    void Start(const std::string& target) {
        QFile ini(Home.path() + "/kelvox.ini");
        ASSERT_TRUE(ini.open(QIODevice::WriteOnly));
        ini.write(("[Data]\r\nTargetURL=" + target + "\r\nPeriod=0\r\nGeneTemp=-1\r\n").c_str());
        ini.close();
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("KELVOX_HOME", Home.path());
        env.insert("LC_ALL", "C.UTF-8");
        env.insert("no_proxy", "127.0.0.1");
        env.remove("QT_QPA_PLATFORM");
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
    EXPECT_EQ(Server.Requests()[0].Target, "/t.php?t=0.0");
    EXPECT_EQ(Server.Requests()[0].UserAgent, "InetURL:/1.0");

    Signal(SIGUSR1);
    ASSERT_TRUE(Server.WaitForRequests(2));
    EXPECT_FALSE(WaitForLine(Process, "Information", seen).isEmpty());
    StopAndExpectCleanExit();
    const QStringList lines = TemperatureLogLines();
    ASSERT_EQ(lines.size(), 2) << lines.join('|').toStdString();
    EXPECT_TRUE(lines[0].endsWith("\t0.0")) << lines[0].toStdString();
}

TEST_F(UploadHeadless, SigUsr1ToAnUnreachableServerReportsTheFailure) {
    Start("http://127.0.0.1:" + std::to_string(ClosedPort()) + "/t.php?t=");
    Signal(SIGUSR1);
    QByteArray seen;
    const QString line = WaitForLine(Process, "Information", seen);
    EXPECT_TRUE(line.endsWith(" >  ERR  Information cannot nepodařilo odeslat!"))
        << seen.toStdString();
    StopAndExpectCleanExit();
    // Logged although the send failed.
    EXPECT_EQ(TemperatureLogLines().size(), 1);
}

} // namespace
