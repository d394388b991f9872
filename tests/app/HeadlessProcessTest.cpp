// The real program, started as a separate process in headless mode.
#include "net/LocalHttpServer.h"
#include "support/ChildProcess.h"
#include "support/Loopback.h"
#include "support/Pty.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QLibraryInfo>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>
#include <QThread>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

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

void writeFile(const QString& path, const QByteArray& text) {
    QFile f(path);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    f.write(text);
}

QByteArray eventLogText(const QString& home) {
    const QStringList logs = eventLogs(home);
    QFile f(home + "/" + logs.value(0));
    return logs.size() == 1 && f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

// Starts the program on home through the shell with the given arguments and
// descriptor changes (in the shell's syntax); returns once the program
// catches the signals the tests send.
void startIn(QProcess& p, const QString& home, const QString& arguments = "--headless",
             QProcessEnvironment env = {}, const QString& binary = kBinary) {
    p.setProcessEnvironment(env.isEmpty() ? environmentFor(home) : env);
    p.start("/bin/sh", {"-c", "exec \"$0\" " + arguments, binary});
    ASSERT_TRUE(p.waitForStarted(30000));
    ASSERT_TRUE(WaitUntilCatching(p.processId(), SIGTERM));
    ASSERT_TRUE(WaitUntilCatching(p.processId(), SIGUSR1));
}

ProcessResult stop(QProcess& p) {
    ::kill(static_cast<pid_t>(p.processId()), SIGTERM);
    return runToEnd(p);
}

// Standard output until it holds what (at most 30 s).
QByteArray outputUntil(QProcess& p, const QByteArray& what) {
    QByteArray out;
    QElapsedTimer clock;
    for (clock.start(); !out.contains(what) && clock.elapsed() < 30000; p.waitForReadyRead(100))
        out += p.readAllStandardOutput();
    return out;
}

// A notify socket of the test's own bound at path (SOCK_DGRAM), or a
// connection to the socket at path (SOCK_STREAM).
int unixSocket(int type, const QByteArray& path) {
    const int fd = ::socket(AF_UNIX, type | SOCK_CLOEXEC, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::strncpy(addr.sun_path, path.constData(), sizeof(addr.sun_path) - 1);
    const auto* a = reinterpret_cast<sockaddr*>(&addr);
    EXPECT_EQ(type == SOCK_DGRAM ? ::bind(fd, a, sizeof addr) : ::connect(fd, a, sizeof addr), 0);
    return fd;
}

// Settings that send to a local port with nothing behind it, by request only.
QByteArray sendingTo(int port) {
    return "[Data]\r\nTargetURL=http://127.0.0.1:" + QByteArray::number(port) +
           "/t?t=\r\nPeriod=0\r\n";
}

} // namespace

// (SIGHUP, headless, reloads the settings instead: see below.)
TEST(HeadlessProcess, StopSignalsSaveEverythingAndExitCleanly) {
    for (int signo : {SIGTERM, SIGINT}) {
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
    // Its answer ends the send: a stop before would cancel it.
    for (clock.restart(); !out.contains("OK  Information") && clock.elapsed() < 30000;) {
        p.waitForReadyRead(100);
        out += p.readAllStandardOutput();
    }

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
// keeps its files, which port it uses and where it sends, even when the
// automatic connect at start fails (the port is missing) and logs first.
TEST(HeadlessProcess, JournalLinesCarryTheirPriority) {
    for (const bool journal : {true, false}) {
        QTemporaryDir home;
        const QByteArray dir = QFile::encodeName(home.path());
        const QByteArray url = "http://127.0.0.1:" + QByteArray::number(ClosedPort()) + "/t.php?t=";
        QFile ini(home.path() + "/kelvox.ini");
        ASSERT_TRUE(ini.open(QIODevice::WriteOnly));
        ini.write("[Data]\r\nTargetURL=" + url +
                  "\r\nCOM=3\r\nPeriod=0\r\nAutoConnect=-1\r\nAutoReconnect=-1\r\n");
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
        for (clock.start(); text.count(" >  ERR  ") < 3 && clock.elapsed() < 30000;) {
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
        // The failed open, the line naming its device and cause, the failed send.
        EXPECT_EQ(errors, 3) << text.toStdString();
        EXPECT_TRUE(lines.last().isEmpty());
    }
}

TEST(HeadlessProcess, AFifoForSettingsIsRefusedKeptAndTheExitCodeSaysSo) {
    QTemporaryDir home;
    ASSERT_EQ(::mkfifo(QFile::encodeName(home.path() + "/kelvox.ini").constData(), 0600), 0);
    writeFile(home.path() + "/kelvox.ini.tmp", "left by a killed save");
    QProcess p;
    startIn(p, home.path());
    const ProcessResult r = stop(p);
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_TRUE(r.err.contains("Cannot read the settings file")) << r.err.toStdString();
    EXPECT_TRUE(QFileInfo(home.path() + "/kelvox.ini").exists());
    EXPECT_FALSE(QFileInfo(home.path() + "/kelvox.ini").isFile()); // still the FIFO
    EXPECT_FALSE(QFile::exists(home.path() + "/kelvox.ini.tmp"));
}

TEST(HeadlessProcess, ASecondInstanceOnTheSameDirectoryStopsAndLeavesTheFirstAlone) {
    QTemporaryDir home;
    QProcess first;
    startIn(first, home.path());
    const ProcessResult second = runWith({"--headless"}, home.path());
    EXPECT_EQ(second.exitCode, 1);
    EXPECT_TRUE(second.err.contains("Kelvox is already running")) << second.err.toStdString();
    EXPECT_EQ(stop(first).exitCode, 0);
}

TEST(HeadlessProcess, AnUnreachableDisplayMeansHeadless) {
    QTemporaryDir home;
    QProcessEnvironment env = environmentFor(home.path());
    env.insert("DISPLAY", ":97"); // no X server there
    env.remove("WAYLAND_DISPLAY");
    QProcess p;
    startIn(p, home.path(), "", env);
    const ProcessResult r = stop(p);
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_TRUE(r.err.contains("\":97\" cannot be reached, running headless"))
        << r.err.toStdString();
}

// Six sends asked for while the server never answers, then a stop: the stop
// cancels the request in flight instead of waiting out its 20 s, and no send
// starts after it.
TEST(HeadlessProcess, AStopIsServedBeforeQueuedSends) {
    QTemporaryDir home;
    SilentListener server;
    writeFile(home.path() + "/kelvox.ini", sendingTo(server.Port()));
    QProcess p;
    startIn(p, home.path());
    for (int i = 0; i < 6; ++i, QThread::msleep(50))
        ::kill(static_cast<pid_t>(p.processId()), SIGUSR1);
    QElapsedTimer clock;
    clock.start();
    EXPECT_EQ(stop(p).exitCode, 0);
    std::printf("stop served %lld ms after SIGTERM\n", static_cast<long long>(clock.elapsed()));
    EXPECT_LT(clock.elapsed(), 10000);
    EXPECT_EQ(eventLogText(home.path()).count("ERR  Information cannot"), 1);
}

// Standard input and error closed, standard output a full pipe nobody reads:
// a send's line is echoed there, and a stop still works.
TEST(HeadlessProcess, ClosedOrStuckStandardDescriptorsDoNotStopIt) {
    QTemporaryDir home;
    writeFile(home.path() + "/kelvox.ini", sendingTo(ClosedPort()));
    const QByteArray fifo = QFile::encodeName(home.path() + "/out");
    ASSERT_EQ(::mkfifo(fifo.constData(), 0600), 0);
    const int reader = ::open(fifo.constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    const int filler = ::open(fifo.constData(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
    while (::write(filler, QByteArray(4096, 'f').constData(), 4096) > 0) {
    }
    QProcess p;
    startIn(p, home.path(), "--headless <&- 2>&- >\"" + QString::fromLocal8Bit(fifo) + "\"");
    ::kill(static_cast<pid_t>(p.processId()), SIGUSR1);
    QThread::msleep(500);
    EXPECT_EQ(stop(p).exitCode, 0);
    EXPECT_EQ(eventLogText(home.path()).count("ERR  Information cannot"), 1);
    ::close(reader);
    ::close(filler);
}

// Headless, the program uses no part of the GUI toolkit: it runs where the
// toolkit's platform plugins are not installed (here hidden under an empty
// mount in a namespace of the test's own) and maps none of its libraries.
TEST(HeadlessProcess, RunsWithoutTheToolkitsPlatformPluginsOrLibraries) {
    if (QProcess::execute("unshare", {"-rm", "true"}) != 0)
        GTEST_SKIP() << "no user and mount namespaces here";
    QTemporaryDir home;
    const QString plugins = QLibraryInfo::path(QLibraryInfo::PluginsPath);
    ASSERT_TRUE(QFileInfo(plugins + "/platforms").isDir()) << plugins.toStdString();
    QProcess p;
    p.setProcessEnvironment(environmentFor(home.path()));
    p.start("unshare", {"-rm", "/bin/sh", "-c",
                        "mount -t tmpfs none \"$1\" && exec \"$0\" --headless", kBinary, plugins});
    ASSERT_TRUE(p.waitForStarted(30000));
    ASSERT_TRUE(WaitUntilCatching(p.processId(), SIGTERM));
    QFile maps(QStringLiteral("/proc/%1/maps").arg(p.processId()));
    ASSERT_TRUE(maps.open(QIODevice::ReadOnly));
    const QByteArray mapped = maps.readAll();
    EXPECT_FALSE(mapped.contains("libQt6Gui")) << "the GUI library is mapped";
    EXPECT_FALSE(mapped.contains("libQt6Widgets"));
    const ProcessResult r = stop(p);
    EXPECT_EQ(r.exitCode, 0) << r.err.toStdString();
    EXPECT_TRUE(r.out.contains("headless: application directory")) << r.out.toStdString();
    EXPECT_EQ(eventLogs(home.path()).size(), 1);
}

// As a service: systemd hears ready, reloading and stopping on its notify
// socket; SIGHUP moves the uploads to an edited target without a restart, a
// bad value in the file changes nothing and says where it stands, and the
// exit leaves the administrator's edit in the file.
TEST(HeadlessProcess, ReloadTakesEditsAndTellsSystemd) {
    QTemporaryDir home;
    LocalHttpServer server;
    for (const char* path : {"/a", "/b"})
        server.Server().Get(path, [](const httplib::Request&, httplib::Response& res) {
            res.set_content("OK", "text/plain");
        });
    server.Start();
    const QString ini = home.path() + "/kelvox.ini";
    const QByteArray base =
        QByteArray("[Data]\r\nPeriod=1\r\nTargetURL=") + server.BaseUrl().c_str();
    writeFile(ini, base + "/a?t=\r\n");

    const QByteArray socketPath = QFile::encodeName(home.path() + "/notify");
    const int sock = unixSocket(SOCK_DGRAM, socketPath);
    QByteArray heard;
    auto hear = [&](const char* what) {
        QElapsedTimer clock;
        for (clock.start(); !heard.contains(what) && clock.elapsed() < 20000;) {
            pollfd pfd{sock, POLLIN, 0};
            char buf[4096];
            if (::poll(&pfd, 1, 100) > 0) {
                const ssize_t n = ::recv(sock, buf, sizeof buf, 0);
                heard += QByteArray(buf, static_cast<int>(std::max<ssize_t>(n, 0))) + '\n';
            }
        }
        return heard.contains(what);
    };

    QProcessEnvironment env = environmentFor(home.path());
    env.insert("NOTIFY_SOCKET", QString::fromLocal8Bit(socketPath));
    env.insert("KELVOX_MINUTE_MS", "300");
    QProcess p;
    startIn(p, home.path(), "--headless", env);
    ASSERT_TRUE(hear("READY=1"));
    ASSERT_TRUE(server.WaitForRequests(1));
    EXPECT_EQ(server.Requests().back().Target.substr(0, 3), "/a?");
    // Reloads that change nothing, one after the other, delay no send.
    const std::size_t first = server.Requests().size();
    for (int i = 0; i < 15; ++i, QThread::msleep(100))
        ::kill(static_cast<pid_t>(p.processId()), SIGHUP);
    EXPECT_GE(server.Requests().size(), first + 2); // one due every 300 ms

    writeFile(ini, base + "/b?t=\r\n");
    heard.clear();
    ::kill(static_cast<pid_t>(p.processId()), SIGHUP);
    ASSERT_TRUE(hear("RELOADING=1"));
    ASSERT_TRUE(hear("READY=1"));
    const std::size_t before = server.Requests().size();
    ASSERT_TRUE(server.WaitForRequests(before + 2));
    EXPECT_EQ(server.Requests().back().Target.substr(0, 3), "/b?");

    writeFile(ini, base + "/a?t=\r\nAutoConnect=maybe\r\n");
    ::kill(static_cast<pid_t>(p.processId()), SIGHUP);
    EXPECT_TRUE(hear("STATUS=reload failed: kelvox.ini line 4, [Data] AutoConnect: "));
    const std::size_t later = server.Requests().size();
    ASSERT_TRUE(server.WaitForRequests(later + 2));
    EXPECT_EQ(server.Requests().back().Target.substr(0, 3), "/b?"); // nothing changed
    writeFile(ini, base + "/c?t=\r\n");                             // edited after the last reload

    const ProcessResult r = stop(p);
    EXPECT_TRUE(hear("STOPPING=1"));
    ::close(sock);
    EXPECT_EQ(r.exitCode, 0) << r.err.toStdString();
    EXPECT_TRUE(r.out.contains(" >  OK  Settings reloaded.\n")) << r.out.toStdString();
    EXPECT_TRUE(r.out.contains(" >  ERR  kelvox.ini line 4, [Data] AutoConnect: 'maybe' is not a "
                               "valid boolean value. The settings stay as they were.\n"))
        << r.out.toStdString();
    QFile saved(ini);
    ASSERT_TRUE(saved.open(QIODevice::ReadOnly));
    EXPECT_TRUE(saved.readAll().contains("/c?t=\r\n"));
}

// A lock file that cannot be taken ends the start (a second instance could
// otherwise run beside this one); the error line carries the journal's
// priority when standard error is the journal.
TEST(HeadlessProcess, AnUnusableLockFileEndsTheStartNamingFileAndCause) {
    QTemporaryDir home;
    const QString lock = home.path() + "/kelvox.lock";
    ASSERT_EQ(::mkfifo(QFile::encodeName(lock).constData(), 0600), 0);
    QFile err(home.path() + "/err.txt");
    ASSERT_TRUE(err.open(QIODevice::WriteOnly));
    struct stat st {};
    ASSERT_EQ(::fstat(err.handle(), &st), 0);
    QProcessEnvironment env = environmentFor(home.path());
    env.insert("JOURNAL_STREAM", QStringLiteral("%1:%2").arg(st.st_dev).arg(st.st_ino));
    QProcess p;
    p.setProcessEnvironment(env);
    p.setStandardErrorFile(err.fileName());
    p.start(kBinary, {"--headless"});
    ASSERT_TRUE(p.waitForFinished(30000));
    EXPECT_EQ(p.exitCode(), 1);
    QFile written(err.fileName());
    ASSERT_TRUE(written.open(QIODevice::ReadOnly));
    const QByteArray text = written.readAll();
    EXPECT_TRUE(text.startsWith("<3>kelvox: cannot lock the application directory: " +
                                QFile::encodeName(lock) + ": not a regular file"))
        << text.toStdString();
    EXPECT_TRUE(eventLogs(home.path()).isEmpty()); // nothing started
}

// A copy of the program loads no kelvox-net.so from "../lib/kelvox" beside
// it, nor one that other users may write (the file, behind a link too, or a
// folder on its way up); the send names what was refused.
TEST(HeadlessProcess, ModulesLoadOnlyFromPlacesNoOtherUserWrites) {
    LocalHttpServer server;
    server.Start();
    for (const QString planted :
         {"lib/kelvox/kelvox-net.so", "x/kelvox-net.so", "y/real.so", "up"}) {
        QTemporaryDir root;
        QDir(root.path()).mkpath("lib/kelvox"), QDir(root.path()).mkpath("x"),
            QDir(root.path()).mkpath("y");
        ASSERT_TRUE(QFile::copy(kBinary, root.path() + "/x/kelvox"));
        const QString module = root.path() + "/" + (planted == "up" ? "x/kelvox-net.so" : planted);
        ASSERT_TRUE(QFile::copy(KELVOX_BINARY_DIR "/kelvox-net.so", module));
        ::chmod(QFile::encodeName(module).constData(), planted == "up" ? 0755 : 0775);
        if (planted == "y/real.so") {
            ASSERT_TRUE(QFile::link(module, root.path() + "/x/kelvox-net.so"));
        }
        if (planted == "up") // the folder above the module's: anyone may rename x
            ::chmod(QFile::encodeName(root.path()).constData(), 0777);
        writeFile(root.path() + "/kelvox.ini", sendingTo(server.Port()));
        QProcess p;
        startIn(p, root.path(), "--headless", {}, root.path() + "/x/kelvox");
        ::kill(static_cast<pid_t>(p.processId()), SIGUSR1);
        const QByteArray out = outputUntil(p, "ERR  Information cannot");
        const QString expected =
            planted == "lib/kelvox/kelvox-net.so" ? "kelvox-net.so not found in"
            : planted == "up" ? "refused: its folder " + root.path() + " is writable"
                              : module + " refused: it is writable";
        EXPECT_TRUE(out.contains(expected.toUtf8())) << out.toStdString();
        EXPECT_EQ(stop(p).exitCode, 0);
    }
    EXPECT_TRUE(server.Requests().empty());
}

// A module the loader refuses (here a truncated file) is named once, with
// the loader's cause.
TEST(HeadlessProcess, AModuleThatCannotBeLoadedIsNamedOnceWithItsCause) {
    QTemporaryDir root;
    ASSERT_TRUE(QFile::copy(kBinary, root.path() + "/kelvox"));
    writeFile(root.path() + "/kelvox-net.so", "not a library");
    writeFile(root.path() + "/kelvox.ini", sendingTo(ClosedPort()));
    QProcess p;
    startIn(p, root.path(), "--headless", {}, root.path() + "/kelvox");
    ::kill(static_cast<pid_t>(p.processId()), SIGUSR1);
    const QByteArray out = outputUntil(p, "ERR  Information cannot");
    EXPECT_EQ(stop(p).exitCode, 0);
    const QByteArray module = QFile::encodeName(root.path()) + "/kelvox-net.so";
    EXPECT_TRUE(out.contains(module + ": ")) << out.constData();
    EXPECT_EQ(out.count(module), 1) << out.constData();
}

// A supervisor that never reads its socket: the watchdog's pings fill it,
// the program says so once and goes on, and a stop still ends it.
TEST(HeadlessProcess, ANotifySocketNobodyReadsNeverBlocksIt) {
    QTemporaryDir home;
    const int sock = unixSocket(SOCK_DGRAM, QFile::encodeName(home.path() + "/notify"));
    QProcessEnvironment env = environmentFor(home.path());
    env.insert("NOTIFY_SOCKET", home.path() + "/notify"), env.insert("WATCHDOG_USEC", "20000");
    QProcess p;
    startIn(p, home.path(), "--headless", env);
    const QByteArray out = outputUntil(p, "queue is full");
    const ProcessResult r = stop(p);
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_EQ((out + r.out).count("queue is full"), 1);
    ::close(sock);
}

// --check refuses a settings file past 1 MiB, naming its size; without any
// file it says where it looked and creates nothing.
TEST(HeadlessProcess, CheckRefusesAHugeSettingsFileAndSaysWhenThereIsNone) {
    QTemporaryDir home;
    writeFile(home.path() + "/kelvox.ini", QByteArray(";\r\n").repeated(400000));
    const ProcessResult huge = runWith({"--check"}, home.path());
    EXPECT_EQ(huge.exitCode, 1);
    EXPECT_TRUE(huge.out.contains("it is 1200000 bytes long, more than the 1 MiB"));
    QProcess missing;
    QProcessEnvironment env = environmentFor(home.path());
    env.insert("KELVOX_HOME", home.path() + "/none");
    missing.setProcessEnvironment(env);
    missing.start(kBinary, {"--check"});
    const ProcessResult r = runToEnd(missing);
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_TRUE(r.out.contains("kelvox.ini: not found in " + QFile::encodeName(home.path()) +
                               "/none; a start would use the default"));
    EXPECT_FALSE(QFileInfo::exists(home.path() + "/none"));
}

// With windows: connections that ask the running instance nothing are closed,
// and however many there are, a second start is answered.
TEST(HeadlessProcess, IdleConnectionsToTheRunningInstanceAreClosed) {
    QTemporaryDir home;
    QProcessEnvironment env = environmentFor(home.path());
    env.insert("QT_QPA_PLATFORM", "offscreen"), env.insert("DISPLAY", ":97");
    QProcess first;
    startIn(first, home.path(), "", env);
    const QString path = home.path() + "/kelvox.socket";
    ASSERT_TRUE(QTest::qWaitFor([&] { return QFileInfo::exists(path); }, 30000));
    std::vector<int> idle;
    for (int i = 0; i < 8; ++i)
        idle.push_back(unixSocket(SOCK_STREAM, QFile::encodeName(path)));
    for (const int fd : idle) {
        pollfd pfd{fd, POLLIN, 0};
        EXPECT_EQ(::poll(&pfd, 1, 20000), 1); // closed: nothing else is ever sent
        ::close(fd);
    }
    idle.clear();
    for (int i = 0; i < 200; ++i)
        idle.push_back(unixSocket(SOCK_STREAM, QFile::encodeName(path)));
    QProcess second;
    startIn(second, home.path(), "", env);
    EXPECT_TRUE(second.waitForFinished(20000));
    EXPECT_EQ(second.exitCode(), 0); // the first showed its window
    for (const int fd : idle)
        ::close(fd);
    stop(first);
}

// A second start nobody answers (a headless first) ends at a stop signal.
TEST(HeadlessProcess, AStopSignalEndsASecondStartShowingItsBox) {
    QTemporaryDir home;
    QProcess first, second;
    startIn(first, home.path());
    QProcessEnvironment env = environmentFor(home.path());
    env.insert("QT_QPA_PLATFORM", "offscreen"), env.insert("DISPLAY", ":97");
    startIn(second, home.path(), "", env);
    ::kill(static_cast<pid_t>(second.processId()), SIGTERM);
    EXPECT_TRUE(second.waitForFinished(20000));
    EXPECT_EQ(stop(first).exitCode, 0);
}
