// MQTT publishing against Debian's mosquitto broker on a loopback port, as
// seen by a subscriber of the test's own.
#include "core/MqttPublisher.h"
#include "support/Loopback.h"
#include "support/Pty.h"
#include "support/Pump.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTemporaryDir>
#include <QTimeZone>
#include <QTimer>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <mosquitto.h>
#include <mutex>
#include <pwd.h>
#include <thread>
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
    p.Apply({"mqtt://127.0.0.1:" + port, {}, {}, "kelvox/child", false, {}});
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
    return {b.Url(), {}, {}, topic, discovery, {}};
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
    // What the broker would refuse: too long with a leaf, control characters.
    EXPECT_TRUE(MqttBaseTopic(QString(65535 - 13, u'a'), &e));
    for (const QString& bad : {QString(65535 - 12, u'a'), QString("a\tb"), QString("a\x7f")})
        EXPECT_FALSE(MqttBaseTopic(bad, &e)) << bad.size();
    EXPECT_EQ(MqttSettingsProblems({{}, {}, {}, "t", true, "ha/+"}),
              QStringList{"DiscoveryPrefix: The discovery prefix must not contain '+' or '#'."});
    EXPECT_EQ(MqttSettingsProblems({{}, {}, {}, "t", true, QString(65520, u'p')}).size(), 1);
    EXPECT_EQ(*MqttDiscoveryPrefix(" ", "t", &e), "homeassistant");
    EXPECT_EQ(*MqttBaseTopic("", &e), DefaultMqttTopic());
    EXPECT_EQ(FormatMqttTemperature(-0.04L), "0.0");
}

TEST_F(MqttPublisherTest, PublishesDiscoveryStateAndFarewell) {
    Broker b;
    Subscriber s(b.Port);
    P.Apply(At(b, "home/cellar.pc"));
    EXPECT_EQ(P.State(), MqttState::Connecting);
    P.SetLinkState(LinkState::Connected);
    P.Reading(21.46L, QDateTime(QDate(2026, 7, 3), QTime(12, 0, 5), Qt::UTC));
    ASSERT_TRUE(s.Await("home/cellar.pc/availability", "online"));
    ASSERT_EQ(s.On("home/cellar.pc/temperature").size(), 1u);
    EXPECT_EQ(s.On("home/cellar.pc/temperature")[0].Payload, "21.5");
    EXPECT_TRUE(s.Await("home/cellar.pc/link", "connected"));
    EXPECT_TRUE(s.Await("home/cellar.pc/last_reading", "2026-07-03T12:00:05Z"));
    // The time-series backlog, a diagnostic entity too.
    P.SetBacklog(12);
    EXPECT_TRUE(s.Await("home/cellar.pc/backlog", "12"));
    const auto backlog = s.On("homeassistant/sensor/home_cellar_pc_backlog/config");
    ASSERT_EQ(backlog.size(), 1u);
    EXPECT_EQ(QJsonDocument::fromJson(backlog[0].Payload).object()["entity_category"],
              "diagnostic");
    // One device, three sensors; each config's object id is its unique_id.
    QString lastClass;
    for (const char* leaf : {"temperature", "link", "last_reading"}) {
        const QString id = QStringLiteral("home_cellar_pc_") + leaf;
        const auto config = s.On("homeassistant/sensor/" + id + "/config");
        ASSERT_EQ(config.size(), 1u) << leaf;
        const QJsonObject j = QJsonDocument::fromJson(config[0].Payload).object();
        EXPECT_EQ(j["unique_id"], id);
        EXPECT_EQ(j["state_topic"], QStringLiteral("home/cellar.pc/") + leaf);
        EXPECT_EQ(j["device"]["identifiers"].toArray().first(), "home_cellar_pc");
        EXPECT_EQ(j["origin"]["name"], "Kelvox");
        EXPECT_EQ(j["origin"]["sw_version"], KELVOX_VERSION);
        EXPECT_EQ(j["entity_category"].toString(), QString(leaf[0] == 't' ? "" : "diagnostic"));
        // Every entity is unavailable once the program is gone.
        EXPECT_EQ(j["availability"][0]["topic"], "home/cellar.pc/status") << leaf;
        EXPECT_EQ(j["device"]["manufacturer"], "Kelvox");
        if (leaf[1] == 'i') {
            EXPECT_EQ(j["options"].toVariant().toStringList(), LinkStateWords());
        }
        lastClass = j["device_class"].toString();
    }
    EXPECT_EQ(lastClass, "timestamp");
    const QJsonObject j =
        QJsonDocument::fromJson(
            s.On("homeassistant/sensor/home_cellar_pc_temperature/config")[0].Payload)
            .object();
    EXPECT_EQ(j["device_class"], "temperature");
    EXPECT_EQ(j["unit_of_measurement"], QString::fromUtf8("\u00b0C"));
    EXPECT_EQ(j["state_class"], "measurement");
    EXPECT_EQ(j["availability"][1]["topic"], "home/cellar.pc/availability");
    EXPECT_EQ(j["availability_mode"], "all");
    EXPECT_EQ(j["suggested_display_precision"], 1);
    EXPECT_EQ(j["device"]["sw_version"], KELVOX_VERSION);
    EXPECT_TRUE(PumpUntil([&] { return P.State() == MqttState::Connected; }));
    // The state the dialog shows is of the settings applied last at once;
    // a new broker is a new connection.
    P.Apply(At(b, "home/cellar.pc", false));
    EXPECT_TRUE(s.Await("homeassistant/sensor/home_cellar_pc_link/config", ""));
    EXPECT_EQ(P.State(), MqttState::Connected); // kept, not made anew
    MqttSettings other = At(b, "home/cellar.pc", false);
    other.Broker = QStringLiteral("mqtt://localhost:%1").arg(b.Port);
    P.Apply(other);
    EXPECT_EQ(P.State(), MqttState::Connecting);
    EXPECT_TRUE(PumpUntil([&] { return P.State() == MqttState::Connected; }));
    // A clean exit drops the will, so "offline" must be said outright.
    P.Apply({});
    EXPECT_TRUE(s.Await("home/cellar.pc/availability", "offline"));
    EXPECT_TRUE(s.Await("home/cellar.pc/status", "offline"));
    EXPECT_EQ(P.State(), MqttState::Off);
    EXPECT_EQ(Log.filter("MQTT on").size() + Log.filter("MQTT off").size(), 2)
        << Log.join('\n').toStdString();
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

    // A lost reading neither resets the count nor holds "online" back.
    P.Reading(20.5L);
    P.ReadingLost();
    ASSERT_TRUE(s.Await("t/k/availability", "offline"));
    P.Reading(20.5L);
    ASSERT_TRUE(s.Await("t/k/availability", "online"));
    ASSERT_TRUE(s.Await("t/k/temperature", "20.5"));
    auto v = s.On("t/k/temperature");
    ASSERT_EQ(v.size(), 3u);
    EXPECT_GE(v[2].At - v[1].At, 4900ms);
    EXPECT_GE(v[2].At - s.On("t/k/availability").back().At, 2000ms);
    P.ReadingLost();
    P.Reading(-100.0L); // a dry-ice probe: a reading like any other
    ASSERT_TRUE(s.Await("t/k/temperature", "-100.0"));
    EXPECT_EQ(s.On("t/k/availability").back().Payload, "online");
}

// The hold timer is only a fallback: a reading after the window takes the
// held value along.
TEST_F(MqttPublisherTest, AHeldValueGoesOutWithTheFirstReadingAfterTheWindow) {
    Broker b;
    Subscriber s(b.Port);
    auto* hold = P.findChild<QTimer*>("MqttHold");
    ASSERT_NE(hold, nullptr);
    P.Apply(At(b));
    P.Reading(20.0L);
    ASSERT_TRUE(s.Await("t/k/temperature", "20.0"));
    P.Reading(20.2L);
    ASSERT_TRUE(hold->isActive());
    // The main thread runs no timer while it sleeps through the window.
    std::this_thread::sleep_for(std::chrono::milliseconds(TMqttPublisher::MinIntervalMs));
    P.Reading(20.2L);
    EXPECT_FALSE(hold->isActive()) << "the value is still held after the window";
    EXPECT_TRUE(s.Await("t/k/temperature", "20.2"));
}

TEST_F(MqttPublisherTest, DiscoveryFollowsTopicPrefixAndSwitch) {
    Broker b;
    Subscriber s(b.Port);
    P.Apply(At(b, "a"));
    ASSERT_TRUE(PumpUntil([&] { return s.On("homeassistant/sensor/a_link/config").size() == 1; }));
    P.Apply(At(b, "b"));
    EXPECT_TRUE(s.Await("homeassistant/sensor/a_temperature/config", ""));
    ASSERT_TRUE(PumpUntil([&] { return s.On("homeassistant/sensor/b_link/config").size() == 1; }));
    MqttSettings other = At(b, "b");
    other.DiscoveryPrefix = "ha2/";
    P.Apply(other);
    EXPECT_TRUE(s.Await("homeassistant/sensor/b_last_reading/config", ""));
    ASSERT_TRUE(PumpUntil([&] { return s.On("ha2/sensor/b_link/config").size() == 1; }));
    other.Discovery = false;
    P.Apply(other);
    EXPECT_TRUE(s.Await("ha2/sensor/b_link/config", ""));
}

// An empty config deletes the entity: it goes only where one of ours is.
TEST_F(MqttPublisherTest, RemovesOnlyConfigsItHadPublished) {
    Broker b;
    Subscriber s(b.Port);
    const QByteArray legacy = R"({"unique_id":"c_temperature"})";
    mosquitto_publish(s.M, nullptr, "homeassistant/sensor/c/config", int(legacy.size()),
                      legacy.constData(), 1, true);
    ASSERT_TRUE(s.Await("homeassistant/sensor/c/config", legacy)); // retained by now
    {
        TMqttPublisher first;
        first.Apply(At(b, "c"));
        ASSERT_TRUE(s.Await("homeassistant/sensor/c/config", "")); // the old place
        ASSERT_TRUE(PumpUntil(
            [&] { return s.On("homeassistant/sensor/c_temperature/config").size() == 1; }));
    }
    P.Apply(At(b, "d", false)); // never published any
    P.Reading(3.0L);
    ASSERT_TRUE(s.Await("d/temperature", "3.0"));
    PumpFor(300ms);
    P.Apply(At(b, "c", false)); // a later run with discovery switched off
    EXPECT_TRUE(s.Await("homeassistant/sensor/c_temperature/config", ""));
    EXPECT_TRUE(s.Await("homeassistant/sensor/c_link/config", ""));
    for (const char* leaf : {"", "_temperature", "_link", "_last_reading"})
        EXPECT_TRUE(s.On(QStringLiteral("homeassistant/sensor/d%1/config").arg(leaf)).empty());
}

// Home Assistant's birth message brings configs and state back after a
// random 1-5 s.
TEST_F(MqttPublisherTest, AnswersHomeAssistantsBirthMessage) {
    Broker b;
    Subscriber s(b.Port);
    P.Apply(At(b));
    P.Reading(8.0L);
    ASSERT_TRUE(s.Await("t/k/temperature", "8.0"));
    PumpFor(200ms);
    const auto born = std::chrono::steady_clock::now();
    mosquitto_publish(s.M, nullptr, "homeassistant/status", 6, "online", 1, false);
    ASSERT_TRUE(PumpUntil([&] { return s.On("t/k/temperature").size() == 2; }, 6000));
    EXPECT_GE(s.On("t/k/temperature")[1].At - born, 900ms);
    EXPECT_EQ(s.On("homeassistant/sensor/t_k_temperature/config").size(), 2u);
    EXPECT_EQ(s.On("t/k/availability").back().Payload, "online");
}

// The thread sleeps while there is nothing to send.
TEST_F(MqttPublisherTest, TheIdleThreadDoesNotWakeEverySecond) {
    Broker b;
    P.Apply(At(b));
    P.Reading(9.0L);
    ASSERT_TRUE(PumpUntil([&] { return P.Connected(); }));
    PumpFor(500ms);
    auto switches = [] {
        for (const auto& task : std::filesystem::directory_iterator("/proc/self/task")) {
            std::ifstream comm(task.path() / "comm");
            std::string name;
            if (std::getline(comm, name) && name == "kelvox-mqtt") {
                std::ifstream status(task.path() / "status");
                for (std::string line; std::getline(status, line);)
                    if (line.starts_with("voluntary_ctxt_switches:"))
                        return std::stol(line.substr(24));
            }
        }
        return -1L;
    };
    const long before = switches();
    ASSERT_GE(before, 0);
    PumpFor(4000ms);
    EXPECT_LE(switches() - before, 1);
}

// Switched off, a second reading within the limit holds nothing back; the
// same readings with a broker set start the hold.
TEST_F(MqttPublisherTest, SwitchedOffNoHoldTimerRuns) {
    auto* hold = P.findChild<QTimer*>("MqttHold");
    ASSERT_NE(hold, nullptr);
    P.Reading(9.0L);
    P.Reading(9.5L);
    EXPECT_FALSE(hold->isActive());
    Broker b;
    P.Apply(At(b));
    P.Reading(10.0L);
    P.Reading(10.5L);
    EXPECT_TRUE(hold->isActive());
}

TEST_F(MqttPublisherTest, AnUntrustedCertificateIsNamed) {
    QTemporaryDir dir;
    const QString key = dir.filePath("k.pem"), cert = dir.filePath("c.pem");
    ASSERT_EQ(
        QProcess::execute("openssl", {"req", "-x509", "-newkey", "rsa:2048", "-nodes", "-subj",
                                      "/CN=127.0.0.1", "-days", "1", "-keyout", key, "-out", cert}),
        0);
    Broker b(QStringLiteral("allow_anonymous true\ncertfile %1\nkeyfile %2\n").arg(cert, key));
    P.Apply({QStringLiteral("mqtts://127.0.0.1:%1").arg(b.Port), {}, {}, "t", true, {}});
    ASSERT_TRUE(PumpUntil([&] { return !Log.filter("ERR  ").isEmpty(); }));
    EXPECT_TRUE(Log.filter("ERR  ")[0].endsWith("(TLS error: certificate not trusted)"))
        << Log.join('\n').toStdString();
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
    P.Apply({b.Url(), "kel", "wrong-pw", "t/k", true, {}});
    PumpFor(3500ms); // tries at 0, 1 and 3 s
    EXPECT_EQ(Log.filter("ERR  ").size(), 1) << Log.join('\n').toStdString();
    EXPECT_FALSE(P.Connected() || P.LastError().isEmpty());
    P.Apply({b.Url(), "kel", "s3cret", "t/k", true, {}});
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
    EXPECT_EQ(Log.filter("OK  MQTT connected").size(), 2);
}

// A start says "online" once; a reload that keeps the broker keeps the
// connection; a reconnect publishes the latest reading, not a held one.
TEST_F(MqttPublisherTest, NoBlipAndTheLatestReadingAtAReconnect) {
    Broker b;
    Subscriber s(b.Port);
    P.SetLinkState(LinkState::Connected); // opened, no reading yet
    P.Apply(At(b));
    ASSERT_TRUE(s.Await("t/k/status", "online"));
    P.Reading(20.0L);
    ASSERT_TRUE(s.Await("t/k/temperature", "20.0"));
    P.Apply(At(b, "t/k", false)); // only discovery changes
    ASSERT_TRUE(s.Await("homeassistant/sensor/t_k_temperature/config", ""));
    P.Reading(20.5L); // held back for its turn
    P.Reading(20.7L, QDateTime(QDate(2026, 7, 3), QTime(12, 0, 9), Qt::UTC));
    EXPECT_EQ(s.On("t/k/availability").size() + s.On("t/k/status").size(), 2u);
    EXPECT_EQ(Log.filter("MQTT connected").size(), 1);
    b.Stop();
    b.Start();
    ASSERT_TRUE(PumpUntil([&] { return s.On("t/k/status").size() == 2; }));
    EXPECT_TRUE(s.Await("t/k/temperature", "20.7"));
    EXPECT_TRUE(s.Await("t/k/last_reading", "2026-07-03T12:00:09Z"));
    EXPECT_EQ(s.On("t/k/temperature").size(), 2u) << "20.5 never went out";
}

// A new topic takes the state along: the old retained topics are cleared.
TEST_F(MqttPublisherTest, ATopicChangeClearsTheOldStateTopics) {
    Broker b;
    Subscriber s(b.Port);
    P.SetLinkState(LinkState::Connected);
    P.Apply(At(b, "t/a"));
    P.Reading(4.0L);
    ASSERT_TRUE(s.Await("t/a/temperature", "4.0"));
    P.Apply(At(b, "t/b"));
    ASSERT_TRUE(s.Await("t/b/temperature", "4.0"));
    for (const char* leaf : {"temperature", "link", "last_reading", "availability", "status"})
        EXPECT_TRUE(s.Await(QStringLiteral("t/a/") + leaf, "")) << leaf;
}

// kelvox@NAME.service passes its name: each instance its own topic.
TEST(MqttInstanceTest, TheInstanceNameIsInTheDefaultTopic) {
    const QString plain = DefaultMqttTopic();
    qputenv("KELVOX_INSTANCE", "cellar");
    EXPECT_EQ(DefaultMqttTopic(), plain + "/cellar");
    qunsetenv("KELVOX_INSTANCE");
}

TEST(MqttPublisherProcessTest, LastWillAfterTheProcessDies) {
    Broker b;
    Subscriber s(b.Port);
    QProcess child;
    qputenv("KELVOX_MQTT_CHILD_PORT", QByteArray::number(b.Port)); // inherited
    child.start(QCoreApplication::applicationFilePath(), {});
    qunsetenv("KELVOX_MQTT_CHILD_PORT");
    ASSERT_TRUE(s.Await("kelvox/child/availability", "online"));
    ASSERT_TRUE(s.Await("kelvox/child/status", "online"));
    child.kill();
    child.waitForFinished();
    EXPECT_TRUE(s.Await("kelvox/child/status", "offline"));
}

TEST(MqttPublisherSilentTest, SilentBrokerHoldsNothingUp) {
    SilentListener silent;
    const QString url = QStringLiteral("mqtt://127.0.0.1:%1").arg(silent.Port());
    QElapsedTimer t;
    t.start();
    auto p = std::make_unique<TMqttPublisher>();
    p->Apply({url, "u", "p", "x", true, {}});
    p->Reading(1.0L);
    PumpFor(300ms); // the connection is made and waits for an answer
    p->ReadingLost();
    p->Apply({url, "u", "p", "y", false, {}});
    p->Reading(2.0L);
    p.reset();
    EXPECT_LT(t.elapsed(), 300 + 400);
}

} // namespace

// The real program, headless: what the thermometer says reaches the broker
// with a complete config although the file names no Discovery, the link's
// word follows an unplug, a replug and silence, and a killed program shows
// as unavailable through its last will.
TEST_F(MqttPublisherTest, TheProgramPublishesItsReadingsAndItsDeath) {
    Broker broker;
    Subscriber sub(broker.Port);
    QTemporaryDir home;
    auto thermometer = std::make_unique<TestPty>();
    QDir(home.path()).mkpath("ports");
    const QByteArray com1 = QFile::encodeName(home.path() + "/ports/COM1");
    ASSERT_EQ(::symlink(thermometer->SlavePath().c_str(), com1.constData()), 0);
    QFile ini(home.path() + "/kelvox.ini");
    ASSERT_TRUE(ini.open(QIODevice::WriteOnly));
    ini.write(("[Data]\r\nPeriod=0\r\nAutoConnect=-1\r\nAutoReconnect=-1\r\n[MQTT]\r\nBroker=" +
               broker.Url() + "\r\nTopic=cellar/kelvox\r\n")
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
        return thermometer->Write("-100.0C\r") && !sub.On("cellar/kelvox/temperature").empty();
    }));
    EXPECT_EQ(sub.On("cellar/kelvox/temperature").back().Payload, "-100.0");
    EXPECT_TRUE(sub.Await("cellar/kelvox/availability", "online"));
    EXPECT_TRUE(sub.Await("cellar/kelvox/link", "connected"));
    EXPECT_TRUE(PumpUntil([&] { return !sub.On("cellar/kelvox/last_reading").empty(); }));
    const auto config = sub.On("homeassistant/sensor/cellar_kelvox_temperature/config");
    ASSERT_EQ(config.size(), 1u);
    EXPECT_EQ(QJsonDocument::fromJson(config[0].Payload).object()["device_class"], "temperature");

    thermometer.reset(); // unplugged
    EXPECT_TRUE(sub.Await("cellar/kelvox/link", "missing"));
    EXPECT_TRUE(sub.Await("cellar/kelvox/availability", "offline"));
    thermometer = std::make_unique<TestPty>(); // plugged in again
    ::unlink(com1.constData());
    ASSERT_EQ(::symlink(thermometer->SlavePath().c_str(), com1.constData()), 0);
    EXPECT_TRUE(sub.Await("cellar/kelvox/link", "connected"));
    ASSERT_TRUE(
        PumpUntil([&] { return sub.On("cellar/kelvox/link").back().Payload == "silent"; }, 40000));
    ::kill(static_cast<pid_t>(p.processId()), SIGKILL);
    p.waitForFinished();
    EXPECT_TRUE(sub.Await("cellar/kelvox/status", "offline")); // the will: every entity goes
}
