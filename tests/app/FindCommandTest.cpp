// kelvox --find as a user runs it beside the headless program: three
// pseudo-terminal ports, one of them a simulated thermometer.
#include "support/Pty.h"
#include "tools/ToolProcess.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <gtest/gtest.h>

namespace {

struct FindRun {
    int ExitCode = -1;
    QByteArray Out;
};

FindRun find(const QProcessEnvironment& env, const QStringList& args) {
    QProcess p;
    p.setProcessEnvironment(env);
    p.start(QStringLiteral(KELVOX_BINARY_DIR "/kelvox"), args);
    p.waitForFinished(60000);
    return {p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1, p.readAllStandardOutput()};
}

} // namespace

TEST(FindCommand, SavesTheOneThermometerThatAReloadConnectsAndThatThenReadsInUse) {
    QTemporaryDir home;
    const QString ports = home.path() + "/ports";
    ASSERT_TRUE(QDir().mkpath(ports));
    ToolProcess thermometer(QStringLiteral("thermosim")), silent(QStringLiteral("thermosim"));
    ASSERT_TRUE(thermometer.Start({"--link-dir", ports, "--com", "2", "--interval-ms", "200"}));
    ASSERT_TRUE(silent.Start(
        {"--link-dir", ports, "--com", "1", "--silent-after", "0", "--silent-for", "600"}));
    ASSERT_TRUE(thermometer.ReadLine() && silent.ReadLine());
    TestPty chatter;
    ASSERT_EQ(QFile::link(QString::fromStdString(chatter.SlavePath()), ports + "/COM3"), true);
    ASSERT_TRUE(chatter.Write("AT\rOK\r"));
    const QString ini = home.path() + "/kelvox.ini";
    QFile file(ini);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write("; the lab's thermometer\r\n[Data]\r\nCOM=5\r\nAutoConnect=-1\r\nPeriod=0\r\n");
    file.close();

    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("KELVOX_HOME", home.path());
    env.insert("KELVOX_PORT_DIR", ports);
    env.insert("LC_ALL", "C.UTF-8");
    QProcess program;
    program.setProcessEnvironment(env);
    program.start(QStringLiteral(KELVOX_BINARY_DIR "/kelvox"), {"--headless"});
    ASSERT_TRUE(program.waitForStarted(30000));
    auto programSays = [&](const char* what) {
        QByteArray out;
        for (int i = 0; i < 300 && !out.contains(what); ++i)
            if (program.waitForReadyRead(100))
                out += program.readAllStandardOutput();
        return out.contains(what);
    };
    ASSERT_TRUE(programSays("headless: application directory"));

    const FindRun saved = find(env, {"--find", "--save"});
    EXPECT_EQ(saved.ExitCode, 0) << saved.Out.toStdString();
    const QStringList lines = QString::fromLocal8Bit(saved.Out).split('\n');
    ASSERT_GE(lines.size(), 4);
    EXPECT_TRUE(lines[0].startsWith("COM1  ") && lines[0].endsWith("  no data"));
    EXPECT_TRUE(lines[1].startsWith("COM2  ") && lines[1].contains("  thermometer, "));
    EXPECT_TRUE(lines[2].startsWith("COM3  ") && lines[2].endsWith("  data that is not a reading"));
    EXPECT_TRUE(lines[4].contains("with a window takes it at its next start"))
        << lines[4].toStdString();
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    EXPECT_EQ(file.readAll(),
              "; the lab's thermometer\r\n[Data]\r\nCOM=2\r\nAutoConnect=-1\r\nPeriod=0\r\n");
    file.close();

    ::kill(static_cast<pid_t>(program.processId()), SIGHUP);
    ASSERT_TRUE(programSays("Serial port COM2 opened."));
    const FindRun again = find(env, {"--find"});
    EXPECT_EQ(again.ExitCode, 1);
    EXPECT_TRUE(again.Out.contains("COM2  " + QFile::encodeName(ports) + "/COM2  "));
    EXPECT_TRUE(again.Out.contains("  in use\n")) << again.Out.toStdString();
    EXPECT_TRUE(again.Out.contains("\nThe usual causes: ")) << again.Out.toStdString();
    program.terminate();
    EXPECT_TRUE(program.waitForFinished(30000));
}
