// The real program, started as a separate process in headless mode.
#include "net/LocalHttpServer.h"
#include "support/ChildProcess.h"
#include "support/Loopback.h"
#include "support/Pty.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QThread>
#include <csignal>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace {

const QString kBinary = QStringLiteral(KELVOX_BINARY_DIR "/kelvox");

// The program sees no serial ports (an empty port directory), whatever the
// machine has.
QProcessEnvironment environmentFor(const QString& home) {
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("KELVOX_HOME", home);
    QDir(home).mkpath(QStringLiteral("ports"));
    env.insert("KELVOX_PORT_DIR", home + "/ports");
    env.insert("LC_ALL", "C.UTF-8");
    env.insert("no_proxy", "127.0.0.1");
    env.remove("QT_QPA_PLATFORM");
    return env;
}

struct ProcessResult {
    int exitCode = -1;
    QProcess::ExitStatus status = QProcess::CrashExit;
    QByteArray out, err;
};

ProcessResult runToEnd(QProcess& p) {
    ProcessResult r;
    EXPECT_TRUE(p.waitForFinished(60000));
    r.exitCode = p.exitCode();
    r.status = p.exitStatus();
    r.out = p.readAllStandardOutput();
    r.err = p.readAllStandardError();
    return r;
}

ProcessResult runWith(const QStringList& args, const QString& home) {
    QProcess p;
    p.setProcessEnvironment(environmentFor(home));
    p.start(kBinary, args);
    EXPECT_TRUE(p.waitForStarted(30000));
    return runToEnd(p);
}

QStringList eventLogs(const QString& home) {
    return QDir(home).entryList({"kelvox - *.log"}, QDir::Files);
}

QByteArray readFile(const QString& path) {
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

QByteArray eventLogText(const QString& home) {
    const QStringList logs = eventLogs(home);
    return logs.size() == 1 ? readFile(home + "/" + logs[0]) : QByteArray();
}

void writeIni(const QString& home, const QByteArray& text) {
    QFile ini(home + "/kelvox.ini");
    ASSERT_TRUE(ini.open(QIODevice::WriteOnly));
    ini.write(text);
}

// Starts the program with standard descriptors given directly: each of in,
// out and err is a descriptor to hand over, or -1 for a closed one.
pid_t spawnWith(const QStringList& args, const QProcessEnvironment& env, int in, int out, int err) {
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    const int given[3] = {in, out, err};
    for (int fd = 0; fd < 3; ++fd) {
        if (given[fd] < 0)
            posix_spawn_file_actions_addclose(&actions, fd);
        else
            posix_spawn_file_actions_adddup2(&actions, given[fd], fd);
    }
    std::vector<QByteArray> storage{QFile::encodeName(kBinary)};
    for (const QString& a : args)
        storage.push_back(a.toLocal8Bit());
    const qsizetype argCount = static_cast<qsizetype>(storage.size());
    for (const QString& e : env.toStringList())
        storage.push_back(e.toLocal8Bit());
    std::vector<char*> argv, envp;
    for (qsizetype i = 0; i < static_cast<qsizetype>(storage.size()); ++i)
        (i < argCount ? argv : envp).push_back(storage[static_cast<std::size_t>(i)].data());
    argv.push_back(nullptr);
    envp.push_back(nullptr);
    pid_t pid = -1;
    if (posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), envp.data()) != 0)
        pid = -1;
    posix_spawn_file_actions_destroy(&actions);
    return pid;
}

// The exit status of pid, or -1 when it did not end within ms (it is then
// killed, so no test leaves a process behind).
int waitForExit(pid_t pid, int ms) {
    QElapsedTimer clock;
    clock.start();
    int status = 0;
    while (::waitpid(pid, &status, WNOHANG) == 0) {
        if (clock.elapsed() > ms) {
            ::kill(pid, SIGKILL);
            ::waitpid(pid, &status, 0);
            return -1;
        }
        QThread::msleep(20);
    }
    return status;
}

} // namespace

TEST(HeadlessProcess, StopSignalsSaveEverythingAndExitCleanly) {
    for (int signo : {SIGTERM, SIGINT, SIGHUP}) {
        QTemporaryDir home;
        QFile ini(home.path() + "/kelvox.ini");
        ASSERT_TRUE(ini.open(QIODevice::WriteOnly));
        ini.write("[Data]\r\nAutoConnect=True\r\nPeriod=250\r\n");
        ini.close();
        QProcess p;
        p.setProcessEnvironment(environmentFor(home.path()));
        p.start(kBinary, {"--headless"});
        ASSERT_TRUE(p.waitForStarted(30000));
        ASSERT_TRUE(WaitUntilCatching(p.processId(), signo)) << signo;
        ::kill(static_cast<pid_t>(p.processId()), signo);
        const ProcessResult r = runToEnd(p);
        EXPECT_EQ(r.status, QProcess::NormalExit) << signo;
        EXPECT_EQ(r.exitCode, 0) << signo << r.err.toStdString();
        // The start-up warning went to standard error instead of a box.
        EXPECT_TRUE(r.err.contains("At first choose COM port")) << r.err.toStdString();
        ASSERT_TRUE(ini.open(QIODevice::ReadOnly));
        const QByteArray saved = ini.readAll();
        ini.close();
        EXPECT_TRUE(saved.contains("\r\nPeriod=100\r\n")) << saved.toStdString();
        EXPECT_TRUE(saved.contains("\r\nAutoConnect=-1\r\n")) << saved.toStdString();
        EXPECT_EQ(eventLogs(home.path()).size(), 1) << signo;
    }
}

TEST(HeadlessProcess, WithoutADisplayItGoesHeadlessByItself) {
    QTemporaryDir home;
    QProcessEnvironment env = environmentFor(home.path());
    env.remove("DISPLAY");
    env.remove("WAYLAND_DISPLAY");
    QProcess p;
    p.setProcessEnvironment(env);
    p.start(kBinary, QStringList{});
    ASSERT_TRUE(p.waitForStarted(30000));
    ASSERT_TRUE(WaitUntilCatching(p.processId(), SIGTERM));
    ::kill(static_cast<pid_t>(p.processId()), SIGTERM);
    const ProcessResult r = runToEnd(p);
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_TRUE(r.err.contains("running headless")) << r.err.toStdString();
    EXPECT_TRUE(QFile::exists(home.path() + "/kelvox.ini"));
    EXPECT_EQ(eventLogs(home.path()).size(), 1);
}

TEST(HeadlessProcess, VersionHelpAndBadOptions) {
    QTemporaryDir home;
    const ProcessResult version = runWith({"--version"}, home.path());
    EXPECT_EQ(version.exitCode, 0);
    EXPECT_EQ(version.out, QByteArray("kelvox " KELVOX_VERSION "\n"));
    const ProcessResult help = runWith({"--help"}, home.path());
    EXPECT_EQ(help.exitCode, 0);
    EXPECT_TRUE(help.out.contains("--headless"));
    EXPECT_TRUE(help.out.contains("KELVOX_HOME"));
    const ProcessResult bad = runWith({"--headless", "--frobnicate"}, home.path());
    EXPECT_EQ(bad.exitCode, 2);
    EXPECT_TRUE(bad.err.contains("--frobnicate")) << bad.err.toStdString();
    EXPECT_TRUE(bad.out.isEmpty());
    // Nothing was started, so nothing was written.
    EXPECT_TRUE(QDir(home.path()).entryList(QDir::Files).isEmpty());
}

TEST(HeadlessProcess, AnInvalidCheckStateEndsTheStart) {
    QTemporaryDir home;
    QFile ini(home.path() + "/kelvox.ini");
    ASSERT_TRUE(ini.open(QIODevice::WriteOnly));
    ini.write("[Data]\nGeneTemp=maybe\n");
    ini.close();
    const ProcessResult r = runWith({"--headless"}, home.path());
    EXPECT_NE(r.exitCode, 0);
    EXPECT_TRUE(r.err.contains("'maybe' is not a valid boolean value")) << r.err.toStdString();
    // The broken file is left as it was for the user to mend.
    ASSERT_TRUE(ini.open(QIODevice::ReadOnly));
    EXPECT_EQ(ini.readAll(), "[Data]\nGeneTemp=maybe\n");
}

// The main job end to end: connected at start to the thermometer on COM1, the
// event log echoed on standard output, a reading sent on request.
TEST(HeadlessProcess, ConnectsAtStartAndSendsWhatTheThermometerSaid) {
    QTemporaryDir home;
    TestPty thermometer;
    LocalHttpServer server;
    server.Server().Get("/t.php", [](const httplib::Request&, httplib::Response& res) {
        res.set_content("OK", "text/plain");
    });
    server.Start();
    QProcessEnvironment env = environmentFor(home.path()); // makes home/ports
    ASSERT_EQ(::symlink(thermometer.SlavePath().c_str(),
                        QFile::encodeName(home.path() + "/ports/COM1").constData()),
              0);
    QFile ini(home.path() + "/kelvox.ini");
    ASSERT_TRUE(ini.open(QIODevice::WriteOnly));
    ini.write(QByteArray("[Data]\r\nTargetURL=") + server.BaseUrl().c_str() +
              "/t.php?t=\r\nCOM=1\r\nPeriod=0\r\nAutoConnect=-1\r\n");
    ini.close();

    QProcess p;
    p.setProcessEnvironment(env);
    p.start(kBinary, {"--headless"});
    ASSERT_TRUE(p.waitForStarted(30000));
    QByteArray out;
    QElapsedTimer clock;
    clock.start();
    while (!out.contains(" >  OK  Serial port COM1 opened.\n") && clock.elapsed() < 30000) {
        p.waitForReadyRead(100);
        out += p.readAllStandardOutput();
    }
    ASSERT_TRUE(out.contains(" >  OK  Serial port COM1 opened.\n")) << out.toStdString();
    ASSERT_TRUE(WaitUntilCatching(p.processId(), SIGUSR1));

    ASSERT_TRUE(thermometer.Write("+024.5C\r"));
    // Asks for sends until one carries the reading (it may still be on its way).
    // Sends are paced and the program's output is read as it comes: a flood
    // of requests would keep its main thread busy, and an unread output pipe
    // that fills up would block it.
    bool sent = false;
    for (clock.restart(); !sent && clock.elapsed() < 30000;) {
        p.waitForReadyRead(200);
        out += p.readAllStandardOutput();
        const std::size_t before = server.Requests().size();
        ::kill(static_cast<pid_t>(p.processId()), SIGUSR1);
        ASSERT_TRUE(server.WaitForRequests(before + 1))
            << (out + p.readAllStandardOutput() + p.readAllStandardError()).toStdString();
        sent = server.Requests().back().Target == "/t.php?t=24.5";
    }
    EXPECT_TRUE(sent);

    ::kill(static_cast<pid_t>(p.processId()), SIGTERM);
    const ProcessResult r = runToEnd(p);
    EXPECT_EQ(r.exitCode, 0) << r.err.toStdString();
    EXPECT_TRUE((out + r.out).contains(" >  OK  Information successfully send\n"));
    ASSERT_EQ(eventLogs(home.path()).size(), 1);
    QFile log(home.path() + "/" + eventLogs(home.path())[0]);
    ASSERT_TRUE(log.open(QIODevice::ReadOnly));
    EXPECT_TRUE(log.readAll().contains(" >  OK  Serial port COM1 opened.\r\n"));
}

// Under systemd the output is the journal: each line starts with its
// priority, errors at 3. A JOURNAL_STREAM naming another stream (inherited
// from a parent) changes nothing. The first line tells where the program
// keeps its files, which port it uses and where it sends.
TEST(HeadlessProcess, JournalLinesCarryTheirPriority) {
    for (const bool journal : {true, false}) {
        QTemporaryDir home;
        const QByteArray dir = QFile::encodeName(home.path());
        const QByteArray url = "http://127.0.0.1:" + QByteArray::number(ClosedPort()) + "/t.php?t=";
        QFile ini(home.path() + "/kelvox.ini");
        ASSERT_TRUE(ini.open(QIODevice::WriteOnly));
        ini.write("[Data]\r\nTargetURL=" + url + "\r\nCOM=3\r\nPeriod=0\r\n");
        ini.close();
        QFile out(home.path() + "/stdout.txt");
        ASSERT_TRUE(out.open(QIODevice::WriteOnly));
        out.close();
        struct stat st {};
        ASSERT_EQ(::stat(QFile::encodeName(out.fileName()).constData(), &st), 0);
        QProcessEnvironment env = environmentFor(home.path());
        env.insert("JOURNAL_STREAM",
                   QStringLiteral("%1:%2").arg(st.st_dev).arg(st.st_ino + (journal ? 0 : 1)));

        QProcess p;
        p.setProcessEnvironment(env);
        p.setStandardOutputFile(out.fileName());
        p.start(kBinary, {"--headless"});
        ASSERT_TRUE(p.waitForStarted(30000));
        ASSERT_TRUE(WaitUntilCatching(p.processId(), SIGUSR1));
        ::kill(static_cast<pid_t>(p.processId()), SIGUSR1); // the send fails: an ERR line
        QByteArray text;
        QElapsedTimer clock;
        for (clock.start(); !text.contains(" >  ERR  ") && clock.elapsed() < 30000;) {
            p.waitForFinished(100);
            ASSERT_TRUE(out.open(QIODevice::ReadOnly));
            text = out.readAll();
            out.close();
        }
        ::kill(static_cast<pid_t>(p.processId()), SIGTERM);
        EXPECT_EQ(runToEnd(p).exitCode, 0);
        ASSERT_TRUE(out.open(QIODevice::ReadOnly));
        const QList<QByteArray> lines = out.readAll().split('\n');
        const QByteArray info = journal ? "<6>" : "";
        const QByteArray error = journal ? "<3>" : "";
        ASSERT_GE(lines.size(), 3) << journal;
        EXPECT_EQ(lines[0], info + "kelvox " KELVOX_VERSION " headless: application directory " +
                                dir + ", port COM3 (" + dir + "/ports/COM3), target URL " + url);
        int errors = 0;
        for (const QByteArray& line : lines.mid(1, lines.size() - 2)) {
            const bool isError = line.contains(" >  ERR  ");
            errors += isError;
            EXPECT_TRUE(line.startsWith(isError ? error : info)) << line.toStdString();
            EXPECT_NE(line.at(info.size()), '<') << line.toStdString(); // one prefix at most
        }
        EXPECT_EQ(errors, 1) << text.toStdString();
        EXPECT_TRUE(lines.last().isEmpty());
    }
}

TEST(HeadlessProcess, AFifoForSettingsIsRefusedKeptAndTheExitCodeSaysSo) {
    QTemporaryDir home;
    const QByteArray ini = QFile::encodeName(home.path() + "/kelvox.ini");
    ASSERT_EQ(::mkfifo(ini.constData(), 0600), 0);
    QFile stale(home.path() + "/kelvox.ini.tmp"); // left by a killed save
    ASSERT_TRUE(stale.open(QIODevice::WriteOnly));
    stale.close();
    QProcess p;
    p.setProcessEnvironment(environmentFor(home.path()));
    p.start(kBinary, {"--headless"});
    ASSERT_TRUE(p.waitForStarted(30000));
    ASSERT_TRUE(WaitUntilCatching(p.processId(), SIGTERM));
    ::kill(static_cast<pid_t>(p.processId()), SIGTERM);
    const ProcessResult r = runToEnd(p);
    EXPECT_NE(r.exitCode, 0);
    EXPECT_TRUE(r.err.contains("Cannot read the settings file")) << r.err.toStdString();
    struct stat st {};
    ASSERT_EQ(::stat(ini.constData(), &st), 0);
    EXPECT_TRUE(S_ISFIFO(st.st_mode));
    EXPECT_FALSE(QFile::exists(home.path() + "/kelvox.ini.tmp"));
    EXPECT_EQ(eventLogs(home.path()).size(), 1);
}

TEST(HeadlessProcess, ASecondInstanceOnTheSameDirectoryStopsAndLeavesTheFirstAlone) {
    QTemporaryDir home;
    QProcess first;
    first.setProcessEnvironment(environmentFor(home.path()));
    first.start(kBinary, {"--headless"});
    ASSERT_TRUE(first.waitForStarted(30000));
    ASSERT_TRUE(WaitUntilCatching(first.processId(), SIGTERM));
    const ProcessResult second = runWith({"--headless"}, home.path());
    EXPECT_NE(second.exitCode, 0);
    EXPECT_TRUE(second.err.contains("Kelvox is already running")) << second.err.toStdString();
    EXPECT_EQ(first.state(), QProcess::Running);
    ::kill(static_cast<pid_t>(first.processId()), SIGTERM);
    EXPECT_EQ(runToEnd(first).exitCode, 0);
    EXPECT_EQ(eventLogs(home.path()).size(), 1);
}

TEST(HeadlessProcess, AnUnreachableDisplayMeansHeadless) {
    QTemporaryDir home;
    QProcessEnvironment env = environmentFor(home.path());
    env.insert("DISPLAY", ":97"); // no X server there
    env.remove("WAYLAND_DISPLAY");
    QProcess p;
    p.setProcessEnvironment(env);
    p.start(kBinary, QStringList{});
    ASSERT_TRUE(p.waitForStarted(30000));
    ASSERT_TRUE(WaitUntilCatching(p.processId(), SIGTERM));
    ::kill(static_cast<pid_t>(p.processId()), SIGTERM);
    const ProcessResult r = runToEnd(p);
    EXPECT_EQ(r.status, QProcess::NormalExit);
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_TRUE(r.err.contains("\":97\" cannot be reached, running headless"))
        << r.err.toStdString();
}

// Six sends asked for while a server never answers, then a stop: the stop
// waits at most for the request in flight (20 s), not for six of them.
TEST(HeadlessProcess, AStopIsServedBeforeQueuedSends) {
    QTemporaryDir home;
    SilentListener server;
    writeIni(home.path(), "[Data]\r\nTargetURL=http://127.0.0.1:" +
                              QByteArray::number(server.Port()) + "/t?t=\r\nPeriod=0\r\n");
    QProcess p;
    p.setProcessEnvironment(environmentFor(home.path()));
    p.start(kBinary, {"--headless"});
    ASSERT_TRUE(p.waitForStarted(30000));
    ASSERT_TRUE(WaitUntilCatching(p.processId(), SIGUSR1));
    for (int i = 0; i < 6; ++i) {
        ::kill(static_cast<pid_t>(p.processId()), SIGUSR1);
        QThread::msleep(50);
    }
    ::kill(static_cast<pid_t>(p.processId()), SIGTERM);
    QElapsedTimer clock;
    clock.start();
    const ProcessResult r = runToEnd(p);
    std::printf("stop served %lld ms after SIGTERM\n", static_cast<long long>(clock.elapsed()));
    EXPECT_LT(clock.elapsed(), 25000);
    EXPECT_EQ(r.exitCode, 0) << r.err.toStdString();
    // One send ran out its limit; none was started after the stop.
    EXPECT_EQ(eventLogText(home.path()).count("ERR  Information cannot"), 1);
}

TEST(HeadlessProcess, ClosedStandardDescriptorsDoNotConfuseIt) {
    QTemporaryDir home;
    writeIni(home.path(), "[Data]\r\nTargetURL=http://127.0.0.1:" +
                              QByteArray::number(ClosedPort()) + "/t?t=\r\nPeriod=0\r\n");
    const pid_t pid = spawnWith({"--headless"}, environmentFor(home.path()), -1, -1, -1);
    ASSERT_GT(pid, 0);
    ASSERT_TRUE(WaitUntilCatching(pid, SIGUSR1));
    ::kill(pid, SIGUSR1); // its failure is echoed on the closed standard output
    QThread::msleep(500);
    ::kill(pid, SIGTERM);
    const int status = waitForExit(pid, 15000);
    ASSERT_TRUE(WIFEXITED(status)) << status;
    EXPECT_EQ(WEXITSTATUS(status), 0);
    EXPECT_EQ(eventLogText(home.path()).count("ERR  Information cannot"), 1);
}

TEST(HeadlessProcess, AStandardOutputNobodyReadsDoesNotStopIt) {
    QTemporaryDir home;
    writeIni(home.path(), "[Data]\r\nTargetURL=http://127.0.0.1:" +
                              QByteArray::number(ClosedPort()) + "/t?t=\r\nPeriod=0\r\n");
    int out[2];
    ASSERT_EQ(::pipe2(out, O_CLOEXEC | O_NONBLOCK), 0);
    ::fcntl(out[1], F_SETPIPE_SZ, 4096);
    const std::string filler(4096, 'f');
    while (::write(out[1], filler.data(), filler.size()) > 0) {
    }
    ::fcntl(out[1], F_SETFL, 0); // full, and blocking for the program
    const pid_t pid = spawnWith({"--headless"}, environmentFor(home.path()), -1, out[1], -1);
    ASSERT_GT(pid, 0);
    ASSERT_TRUE(WaitUntilCatching(pid, SIGUSR1));
    ::kill(pid, SIGUSR1);
    QThread::msleep(500);
    ::kill(pid, SIGTERM);
    const int status = waitForExit(pid, 15000);
    ::close(out[0]);
    ::close(out[1]);
    ASSERT_TRUE(WIFEXITED(status)) << status;
    EXPECT_EQ(WEXITSTATUS(status), 0);
    EXPECT_EQ(eventLogText(home.path()).count("ERR  Information cannot"), 1);
}
