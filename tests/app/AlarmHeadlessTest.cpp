// The real program, headless, a calibrated thermometer on a pty, an alarm
// limit, a command script, mosquitto and an HTTP receiver: all get the
// calibrated value, the alarm reaches the log, the command and MQTT once,
// and a restart during it neither repeats it nor loses its clear.
#include "net/LocalHttpServer.h"
#include "support/ChildProcess.h"
#include "support/Loopback.h"
#include "support/Pty.h"

#include <QDir>
#include <QElapsedTimer>
#include <QProcess>
#include <QTemporaryDir>
#include <QThread>
#include <csignal>
#include <gtest/gtest.h>
#include <map>
#include <mosquitto.h>

namespace {

// Every retained message under the broker, read by a fresh subscriber.
std::map<std::string, std::string> Retained(int port) {
    std::map<std::string, std::string> got;
    mosquitto_lib_init();
    mosquitto* m = mosquitto_new(nullptr, true, &got);
    mosquitto_message_callback_set(m, [](mosquitto*, void* g, const mosquitto_message* msg) {
        (*static_cast<std::map<std::string, std::string>*>(g))[msg->topic] =
            std::string(static_cast<char*>(msg->payload), msg->payloadlen);
    });
    if (mosquitto_connect(m, "127.0.0.1", port, 30) == MOSQ_ERR_SUCCESS) {
        mosquitto_subscribe(m, nullptr, "#", 0);
        for (int i = 0; i < 20; ++i)
            mosquitto_loop(m, 100, 1);
    }
    mosquitto_destroy(m);
    return got;
}

struct Started {
    QProcess P;
    QByteArray Out;
    bool Saw(const QByteArray& text) {
        QElapsedTimer t;
        for (t.start();
             !Out.contains(text) && t.elapsed() < 30000 && P.state() != QProcess::NotRunning;)
            if (P.waitForReadyRead(100))
                Out += P.readAllStandardOutput();
        return Out.contains(text);
    }
    void Stop() {
        ::kill(pid_t(P.processId()), SIGTERM);
        EXPECT_TRUE(P.waitForFinished(30000));
        Out += P.readAllStandardOutput();
        EXPECT_EQ(P.exitCode(), 0);
    }
};

TEST(AlarmHeadless, CalibratedEverywhereAlarmedOnceAcrossARestart) {
    QTemporaryDir home;
    TestPty thermometer;
    LocalHttpServer server;
    server.Server().Get("/t", [](const httplib::Request&, httplib::Response& r) {
        r.set_content("OK", "text/plain");
    });
    server.Start();
    const int mqttPort = ClosedPort();
    QFile conf(home.filePath("m.conf"));
    ASSERT_TRUE(conf.open(QIODevice::WriteOnly));
    conf.write(QByteArray("listener ") + QByteArray::number(mqttPort) +
               " 127.0.0.1\nallow_anonymous true\n");
    conf.close();
    QProcess broker;
    broker.start("/usr/sbin/mosquitto", {"-c", conf.fileName()});
    ASSERT_TRUE(broker.waitForStarted());
    QFile script(home.filePath("alarm.sh"));
    ASSERT_TRUE(script.open(QIODevice::WriteOnly));
    script.write("#!/bin/sh\necho \"$KELVOX_ALARM $KELVOX_TEMPERATURE $KELVOX_LIMIT\" >> \"$1\"\n");
    script.close();
    script.setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    QDir(home.path()).mkpath("ports");
    ASSERT_EQ(::symlink(thermometer.SlavePath().c_str(),
                        QFile::encodeName(home.filePath("ports/COM1")).constData()),
              0);
    QFile ini(home.filePath("kelvox.ini"));
    ASSERT_TRUE(ini.open(QIODevice::WriteOnly));
    ini.write(
        QStringLiteral("[Data]\nTargetURL=%1/t?t=\nCOM=1\nPeriod=0\nAutoConnect=-1\n"
                       "Offset=1.5\nGain=2\n[MQTT]\nBroker=mqtt://127.0.0.1:%2\nTopic=k\n"
                       "[Alarm]\nHigh=30\nDelay=0\nClearDelay=0\nCommand=/bin/sh \"%3\" \"%4\"\n")
            .arg(QString::fromStdString(server.BaseUrl()))
            .arg(mqttPort)
            .arg(script.fileName(), home.filePath("runs"))
            .toUtf8());
    ini.close();
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("KELVOX_HOME", home.path());
    env.insert("KELVOX_PORT_DIR", home.filePath("ports"));
    env.insert("LC_ALL", "C.UTF-8");
    env.insert("no_proxy", "127.0.0.1");

    Started first;
    first.P.setProcessEnvironment(env);
    first.P.start(QStringLiteral(KELVOX_BINARY_DIR "/kelvox"), {"--headless"});
    ASSERT_TRUE(first.Saw("OK  Calibration in force: temperature = 2 \u00D7 reading + 1.5\u00B0C"));
    ASSERT_TRUE(first.Saw("OK  Serial port COM1 opened."));
    ASSERT_TRUE(thermometer.Write("+014.5C\r")); // 30.5 calibrated: above the limit; raw is not
    ASSERT_TRUE(first.Saw("ERR  Temperature high: 30.5\u00B0C, limit 30.0\u00B0C"))
        << first.Out.toStdString();
    ASSERT_TRUE(WaitUntilCatching(first.P.processId(), SIGUSR1));
    ::kill(pid_t(first.P.processId()), SIGUSR1);
    ASSERT_TRUE(server.WaitForRequests(1));
    EXPECT_EQ(server.Requests()[0].Target, "/t?t=30.5");
    ASSERT_TRUE(first.Saw("OK  Information"));
    std::map<std::string, std::string> mqtt = Retained(mqttPort);
    EXPECT_EQ(mqtt["k/temperature"], "30.5");
    EXPECT_EQ(mqtt["k/alarm"], "high");
    first.Stop();

    Started second;
    second.P.setProcessEnvironment(env);
    second.P.start(QStringLiteral(KELVOX_BINARY_DIR "/kelvox"), {"--headless"});
    ASSERT_TRUE(second.Saw("ERR  Alarm from the last run still active: temperature high since "));
    ASSERT_TRUE(second.Saw("OK  Serial port COM1 opened."));
    ASSERT_TRUE(thermometer.Write("+014.6C\r"));
    ASSERT_TRUE(thermometer.Write("+010.0C\r"));
    ASSERT_TRUE(second.Saw("OK  Temperature back in range: 21.5\u00B0C, after "));
    EXPECT_FALSE(second.Out.contains("Temperature high:"));
    // The clear may come before the new run's broker connection is up:
    // it is published once connected.
    std::string alarm;
    QElapsedTimer waited;
    for (waited.start();
         (alarm = Retained(mqttPort)["k/alarm"]) != "ok" && waited.elapsed() < 10000;)
        QThread::msleep(100);
    EXPECT_EQ(alarm, "ok");
    second.Stop();
    QFile runs(home.filePath("runs"));
    ASSERT_TRUE(runs.open(QIODevice::ReadOnly));
    EXPECT_EQ(runs.readAll(), "high 30.5 30.0\nok 21.5 30.0\n");
    broker.kill();
    broker.waitForFinished();
}

} // namespace
