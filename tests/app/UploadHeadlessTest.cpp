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
#include <unistd.h>

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
    EXPECT_EQ(Server.Requests()[0].Target, "/t.php?t=-100.0"); // no port, no reading
    EXPECT_EQ(Server.Requests()[0].UserAgent, "InetURL:/1.0");

    Signal(SIGUSR1);
    ASSERT_TRUE(Server.WaitForRequests(2));
    EXPECT_FALSE(WaitForLine(Process, "Information", seen).isEmpty());
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

} // namespace
