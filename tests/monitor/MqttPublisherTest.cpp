// MQTT publishing against Debian's mosquitto broker on a loopback port, as
// seen by a subscriber of the test's own.
#include "monitor/MqttPublisher.h"
#include "support/Loopback.h"
#include "support/Pty.h"
#include "support/Pump.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTemporaryDir>
#include <csignal>
#include <gtest/gtest.h>
#include <mosquitto.h>
#include <mutex>
#include <pwd.h>
#include <unistd.h>

namespace {

using namespace std::chrono_literals;

// Started as a child by LastWillAfterTheProcessDies: publishes until killed.
const bool kChild = [] {
    const QByteArray port = qgetenv("KELVOX_MQTT_CHILD_PORT");
    if (port.isEmpty())
        return false;
    int argc = 1;
    char name[] = "child";
    char* argv[] = {name, nullptr};
    QCoreApplication app(argc, argv);
    TMqttPublisher p;
    p.Apply({"mqtt://127.0.0.1:" + port, {}, {}, "kelvox/child", false});
    p.Reading(19.0L);
    std::_Exit(app.exec());
}();

class Broker {
public:
    explicit Broker(const QString& access = "allow_anonymous true\n") {
        QFile conf(Dir.filePath("m.conf"));
        conf.open(QIODevice::WriteOnly);
        conf.write(QStringLiteral("listener %1 127.0.0.1\npersistence false\nuser %2\n%3")
                       .arg(Port)
                       .arg(getpwuid(geteuid())->pw_name, access)
                       .toUtf8());
        conf.close();
        Proc.setProcessChannelMode(QProcess::MergedChannels);
        Start();
    }
    ~Broker() { Stop(); }
    void Start() {
        Proc.start("/usr/sbin/mosquitto", {"-c", Dir.filePath("m.conf")});
        QByteArray out;
        ASSERT_TRUE(PumpUntil([&] { return (out += Proc.readAll()).contains(" running"); }));
    }
    void Stop() {
        Proc.kill();
        Proc.waitForFinished();
    }
    QString Url() const { return QStringLiteral("mqtt://127.0.0.1:%1").arg(Port); }
    QTemporaryDir Dir;
    const int Port = ClosedPort();
    QProcess Proc;
};

// Collects every message on every topic, resubscribing after reconnects.
class Subscriber {
public:
    explicit Subscriber(int port, const char* user = nullptr, const char* pass = nullptr) {
        mosquitto_lib_init();
        M = mosquitto_new(nullptr, true, this);
        mosquitto_username_pw_set(M, user, pass);
        mosquitto_connect_callback_set(
            M, [](mosquitto* m, void*, int) { mosquitto_subscribe(m, nullptr, "#", 1); });
        mosquitto_message_callback_set(M, [](mosquitto*, void* self, const mosquitto_message* m) {
            auto* s = static_cast<Subscriber*>(self);
            std::lock_guard lock(s->Mu);
            s->Got.push_back({m->topic, QByteArray(static_cast<char*>(m->payload), m->payloadlen),
                              std::chrono::steady_clock::now()});
        });
        mosquitto_connect(M, "127.0.0.1", port, 30);
        mosquitto_loop_start(M);
    }
    ~Subscriber() {
        mosquitto_loop_stop(M, true);
        mosquitto_destroy(M);
    }
    struct Message {
        QString Topic;
        QByteArray Payload;
        std::chrono::steady_clock::time_point At;
    };
    std::vector<Message> On(const QString& topic) {
        std::lock_guard lock(Mu);
        std::vector<Message> r;
        std::copy_if(Got.begin(), Got.end(), std::back_inserter(r),
                     [&](const Message& m) { return m.Topic == topic; });
        return r;
    }
    bool Await(const QString& topic, const QByteArray& payload) {
        return PumpUntil([&] {
            const auto m = On(topic);
            return !m.empty() && m.back().Payload == payload;
        });
    }
    mosquitto* M;
    std::mutex Mu;
    std::vector<Message> Got;
};

MqttSettings At(const Broker& b, const QString& topic = "t/k", bool discovery = true) {
    return {b.Url(), {}, {}, topic, discovery};
}

class MqttPublisherTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() { std::signal(SIGPIPE, SIG_IGN); }
    void SetUp() override {
        QObject::connect(&P, &TMqttPublisher::LogLine, [this](const QString& l) { Log << l; });
    }
    TMqttPublisher P;
    QStringList Log;
};

TEST(MqttSettingsTest, BrokerValues) {
    QString e;
    EXPECT_EQ(ParseMqttBroker(" mqtt://host ", &e).value_or(MqttBroker{}).Port, 1883);
    const auto tls = ParseMqttBroker("MQTTS://[::1]:9000", &e);
    ASSERT_TRUE(tls);
    EXPECT_TRUE(tls->Tls);
    EXPECT_EQ(tls->Host, "::1");
    EXPECT_EQ(tls->Port, 9000);
    EXPECT_EQ(ParseMqttBroker("mqtts://h", &e).value_or(MqttBroker{}).Port, 8883);
    for (const char* bad : {"http://h", "mqtt://", "mqtt://h:0", "mqtt://h:70000", "mqtt://h:1x",
                            "mqtt://h/path", "mqtt://::1", "mqtt://u:secret@h"}) {
        e.clear();
        EXPECT_FALSE(ParseMqttBroker(bad, &e)) << bad;
        EXPECT_FALSE(e.isEmpty() || e.contains("secret")) << bad;
    }
    EXPECT_FALSE(MqttBaseTopic("a/#", &e));
    EXPECT_EQ(*MqttBaseTopic("", &e), DefaultMqttTopic());
    EXPECT_EQ(FormatMqttTemperature(-0.04L), "0.0");
}

TEST_F(MqttPublisherTest, PublishesDiscoveryStateAndFarewell) {
    Broker b;
    Subscriber s(b.Port);
    P.Apply(At(b, "home/cellar.pc"));
    P.Reading(21.46L);
    ASSERT_TRUE(s.Await("home/cellar.pc/availability", "online"));
    ASSERT_EQ(s.On("home/cellar.pc/temperature").size(), 1u);
    EXPECT_EQ(s.On("home/cellar.pc/temperature")[0].Payload, "21.5");
    const auto config = s.On("homeassistant/sensor/home_cellar_pc/config");
    ASSERT_EQ(config.size(), 1u);
    const QJsonObject j = QJsonDocument::fromJson(config[0].Payload).object();
    EXPECT_EQ(j["device_class"], "temperature");
    EXPECT_EQ(j["unit_of_measurement"], QString::fromUtf8("\u00b0C"));
    EXPECT_EQ(j["state_class"], "measurement");
    EXPECT_EQ(j["state_topic"], "home/cellar.pc/temperature");
    EXPECT_EQ(j["availability_topic"], "home/cellar.pc/availability");
    EXPECT_FALSE(j["unique_id"].toString().isEmpty() || j["name"].toString().isEmpty());
    EXPECT_EQ(j["device"]["model"], "Kelvox");
    EXPECT_EQ(j["device"]["sw_version"], KELVOX_VERSION);
    EXPECT_EQ(Log, QStringList{"OK  MQTT connected to " + b.Url()});
    // A clean exit drops the will, so "offline" must be said outright.
    P.Apply({});
    EXPECT_TRUE(s.Await("home/cellar.pc/availability", "offline"));
}

TEST_F(MqttPublisherTest, NewValuesAtMostEveryFiveSecondsAndOfflineWhenLost) {
    Broker b;
    Subscriber s(b.Port);
    P.Apply(At(b));
    P.Reading(20.0L);
    ASSERT_TRUE(s.Await("t/k/temperature", "20.0"));
    P.Reading(20.04L); // same text: nothing new
    P.Reading(20.1L);
    P.Reading(20.2L);
    ASSERT_TRUE(s.Await("t/k/temperature", "20.2"));
    const auto t = s.On("t/k/temperature");
    ASSERT_EQ(t.size(), 2u);
    EXPECT_GE(t[1].At - t[0].At, 4900ms);

    P.ReadingLost();
    ASSERT_TRUE(s.Await("t/k/availability", "offline"));
    P.Reading(-100.0L); // the program's "no reading" is no value
    PumpFor(300ms);
    EXPECT_EQ(s.On("t/k/temperature").size(), 2u);
    EXPECT_EQ(s.On("t/k/availability").back().Payload, "offline");
}

TEST_F(MqttPublisherTest, DiscoveryFollowsTopicAndSwitch) {
    Broker b;
    Subscriber s(b.Port);
    P.Apply(At(b, "a"));
    ASSERT_TRUE(PumpUntil([&] { return s.On("homeassistant/sensor/a/config").size() == 1; }));
    P.Apply(At(b, "b"));
    EXPECT_TRUE(s.Await("homeassistant/sensor/a/config", ""));
    ASSERT_TRUE(PumpUntil([&] { return s.On("homeassistant/sensor/b/config").size() == 1; }));
    P.Apply(At(b, "b", false));
    EXPECT_TRUE(s.Await("homeassistant/sensor/b/config", ""));
}

TEST_F(MqttPublisherTest, PasswordRefusalLoggedOnceAndNeverShown) {
    QTemporaryDir dir;
    const QString file = dir.filePath("pw");
    QFile(file).open(QIODevice::WriteOnly);
    ASSERT_EQ(QProcess::execute("mosquitto_passwd", {"-b", file, "kel", "s3cret"}), 0);
    Broker b("allow_anonymous false\npassword_file " + file + "\n");
    Subscriber s(b.Port, "kel", "s3cret");
    QStringList errors;
    QObject::connect(&P, &TMqttPublisher::LastErrorChanged, [&](const QString& e) { errors << e; });
    P.Apply({b.Url(), "kel", "wrong-pw", "t/k", true});
    PumpFor(3500ms); // tries at 0, 1 and 3 s
    EXPECT_EQ(Log.filter("ERR  ").size(), 1) << Log.join('\n').toStdString();
    EXPECT_FALSE(P.Connected() || P.LastError().isEmpty());
    P.Apply({b.Url(), "kel", "s3cret", "t/k", true});
    P.Reading(5.0L);
    ASSERT_TRUE(s.Await("t/k/temperature", "5.0"));
    EXPECT_TRUE(PumpUntil([&] { return P.Connected(); }));
    for (const QString& text : Log + errors)
        EXPECT_FALSE(text.contains("s3cret") || text.contains("wrong-pw")) << text.toStdString();
}

TEST_F(MqttPublisherTest, ReconnectsAfterBrokerRestart) {
    Broker b;
    Subscriber s(b.Port);
    P.Apply(At(b));
    P.Reading(7.0L);
    ASSERT_TRUE(s.Await("t/k/availability", "online"));
    b.Stop();
    ASSERT_TRUE(PumpUntil([&] { return !P.Connected(); }));
    PumpFor(1500ms); // at least one failed try
    b.Start();
    // The restarted broker holds nothing: what it gets is published anew.
    ASSERT_TRUE(PumpUntil([&] {
        const auto a = s.On("t/k/availability");
        return a.size() == 2 && a[1].Payload == "online";
    }));
    ASSERT_TRUE(PumpUntil([&] { return P.Connected(); }));
    EXPECT_EQ(Log.filter("ERR  ").size(), 1) << Log.join('\n').toStdString();
    EXPECT_EQ(Log.filter("OK  ").size(), 2);
}

TEST(MqttPublisherProcessTest, LastWillAfterTheProcessDies) {
    Broker b;
    Subscriber s(b.Port);
    QProcess child;
    qputenv("KELVOX_MQTT_CHILD_PORT", QByteArray::number(b.Port)); // inherited
    child.start(QCoreApplication::applicationFilePath(), {});
    qunsetenv("KELVOX_MQTT_CHILD_PORT");
    ASSERT_TRUE(s.Await("kelvox/child/availability", "online"));
    child.kill();
    child.waitForFinished();
    EXPECT_TRUE(s.Await("kelvox/child/availability", "offline"));
}

TEST(MqttPublisherSilentTest, SilentBrokerHoldsNothingUp) {
    SilentListener silent;
    const QString url = QStringLiteral("mqtt://127.0.0.1:%1").arg(silent.Port());
    QElapsedTimer t;
    t.start();
    auto p = std::make_unique<TMqttPublisher>();
    p->Apply({url, "u", "p", "x", true});
    p->Reading(1.0L);
    PumpFor(300ms); // the connection is made and waits for an answer
    p->ReadingLost();
    p->Apply({url, "u", "p", "y", false});
    p->Reading(2.0L);
    p.reset();
    EXPECT_LT(t.elapsed(), 300 + 400);
}

} // namespace

// The real program, headless: what the thermometer says reaches the broker,
// and a killed program shows as unavailable through its last will.
TEST_F(MqttPublisherTest, TheProgramPublishesItsReadingsAndItsDeath) {
    Broker broker;
    Subscriber sub(broker.Port);
    QTemporaryDir home;
    TestPty thermometer;
    QDir(home.path()).mkpath("ports");
    ASSERT_EQ(::symlink(thermometer.SlavePath().c_str(),
                        QFile::encodeName(home.path() + "/ports/COM1").constData()),
              0);
    QFile ini(home.path() + "/kelvox.ini");
    ASSERT_TRUE(ini.open(QIODevice::WriteOnly));
    ini.write(("[Data]\r\nPeriod=0\r\nAutoConnect=-1\r\n[MQTT]\r\nBroker=" + broker.Url() +
               "\r\nTopic=cellar/kelvox\r\n")
                  .toUtf8());
    ini.close();
    QProcess p;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("KELVOX_HOME", home.path());
    env.insert("KELVOX_PORT_DIR", home.path() + "/ports");
    p.setProcessEnvironment(env);
    p.start(KELVOX_BINARY_DIR "/kelvox", {"--headless"});
    ASSERT_TRUE(p.waitForStarted());
    ASSERT_TRUE(PumpUntil([&] {
        return thermometer.Write("+021.4C\r") && !sub.On("cellar/kelvox/temperature").empty();
    }));
    EXPECT_EQ(sub.On("cellar/kelvox/temperature").back().Payload, "21.4");
    EXPECT_TRUE(sub.Await("cellar/kelvox/availability", "online"));
    ::kill(static_cast<pid_t>(p.processId()), SIGKILL);
    p.waitForFinished();
    EXPECT_TRUE(sub.Await("cellar/kelvox/availability", "offline"));
}
