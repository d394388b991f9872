#include "core/MqttPublisher.h"

#include "core/MosquittoLib.h"
#include "platform/SystemError.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QMetaObject>
#include <QSysInfo>
#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstring>
#include <mosquitto.h>
#include <mutex>
#include <poll.h>
#include <pthread.h>
#include <random>
#include <sys/eventfd.h>
#include <unistd.h>

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

constexpr int kKeepAliveS = 30;
// libmosquitto counts the keep-alive in whole seconds: the thread wakes a
// little after it is due, so that the ping is sent on that wake-up.
constexpr milliseconds kKeepAliveWake{kKeepAliveS * 1000 + 1000};
// A broker that takes the connection but sends no CONNACK within this time
// is given up and tried again later.
constexpr milliseconds kHandshake{10000};
// How long a connection that ends may spend getting "offline" (and the
// removal of the discovery message) acknowledged; below the destructor's
// wait, so that the farewell normally gets out at exit.
constexpr milliseconds kFarewell{800};
constexpr milliseconds kDestructorWait{1000};
constexpr int kFirstRetryMs = 1000;
constexpr int kLastRetryMs = 60000;
// Home Assistant asks for a random delay before the answer to its birth
// message, so that not every device answers at once.
constexpr int kBirthDelayMinMs = 1000;
constexpr int kBirthDelayMaxMs = 5000;
// MQTT's limit for a topic, in UTF-8 bytes.
constexpr qsizetype kMaxTopicBytes = 65535;
// The longest leaf under the base topic, and of a config's object id.
constexpr qsizetype kLongestLeaf = sizeof("/last_reading") - 1;
constexpr qsizetype kLongestConfigTail = sizeof("_last_reading/config") - 1;
const QString kDefaultPrefix = QStringLiteral("homeassistant");

// A validated configuration as the network thread uses it.
struct Config {
    bool On = false;
    MqttBroker Broker;
    QString BrokerText; // for log lines; holds no credentials
    QByteArray User, Password;
    QString Base;
    QString Prefix = kDefaultPrefix;
    bool Discovery = true;
    quint64 Generation = 0;

    bool SameConnection(const Config& o) const {
        return On && o.On && Broker.Tls == o.Broker.Tls && Broker.Host == o.Broker.Host &&
               Broker.Port == o.Broker.Port && User == o.User && Password == o.Password;
    }
};

// "<base>" as a discovery object id: characters other than letters, digits,
// '_' and '-' are not allowed there, so '/' (and e.g. the dots of a full
// host name) become '_'.
QString DiscoveryId(const QString& base) {
    QString id = base;
    for (QChar& c : id)
        if (!(c.isLetterOrNumber() && c.unicode() < 128) && c != u'_' && c != u'-')
            c = u'_';
    return id;
}

// The device's entities, all in this one table: each is a sensor whose
// state is the retained topic <base>/<leaf>, and each carries the
// program's availability (<base>/status, the connection's last will), so
// that a program that stopped or died shows as unavailable. Fill() adds
// what the entity's config says besides.
struct EntityDef {
    const char* Leaf;
    // Also needs a live reading (<base>/availability) to be available.
    bool NeedsLive;
    void (*Fill)(QJsonObject& config);
};

const EntityDef kEntities[] = {
    {"temperature", true,
     [](QJsonObject& c) {
         c.insert("name", "Temperature");
         c.insert("device_class", "temperature");
         c.insert("unit_of_measurement", QString::fromUtf8("\u00b0C"));
         c.insert("state_class", "measurement");
         // The value has one decimal; shown in °F it would get more.
         c.insert("suggested_display_precision", 1);
     }},
    // Why the temperature is unavailable, and since when: diagnostic
    // entities available whenever the program runs.
    {"link", false,
     [](QJsonObject& c) {
         c.insert("name", "Link");
         c.insert("device_class", "enum");
         c.insert("options", QJsonArray::fromStringList(LinkStateWords()));
         c.insert("entity_category", "diagnostic");
     }},
    {"last_reading", false,
     [](QJsonObject& c) {
         c.insert("name", "Last reading");
         c.insert("device_class", "timestamp");
         c.insert("entity_category", "diagnostic");
     }},
    // Readings of the time-series output waiting for its receiver.
    {"backlog", false,
     [](QJsonObject& c) {
         c.insert("name", "Backlog");
         c.insert("state_class", "measurement");
         c.insert("unit_of_measurement", "readings");
         c.insert("entity_category", "diagnostic");
     }},
    // A primary entity: what an automation acts on. Available whenever the
    // program runs, since "stale" is itself an alarm.
    {"alarm", false,
     [](QJsonObject& c) {
         c.insert("name", "Alarm");
         c.insert("device_class", "enum");
         c.insert("options", QJsonArray::fromStringList({"ok", "high", "low", "stale"}));
     }},
};

// The leaves published under the base topic that a topic change clears:
// every entity's state, the live reading's availability and the status.
QList<QByteArray> StateLeaves() {
    QList<QByteArray> leaves{"availability", "status"};
    for (const EntityDef& e : kEntities)
        leaves << e.Leaf;
    return leaves;
}

// The unique_id, which is also the object id of the config's topic.
QString UniqueId(const QString& base, const EntityDef& e) {
    return DiscoveryId(base) + u'_' + QLatin1String(e.Leaf);
}

QByteArray ConfigTopic(const Config& c, const EntityDef& e) {
    return (c.Prefix + "/sensor/" + UniqueId(c.Base, e) + "/config").toUtf8();
}

// Where earlier versions put the temperature's config (object id without
// the leaf, under the fixed prefix): cleared where one of ours is left.
QByteArray LegacyConfigTopic(const Config& c) {
    return (kDefaultPrefix + "/sensor/" + DiscoveryId(c.Base) + "/config").toUtf8();
}

// Where Home Assistant announces itself ("online" after its start).
QByteArray BirthTopic(const Config& c) {
    return (c.Prefix + "/status").toUtf8();
}

QByteArray ConfigPayload(const QString& base, const EntityDef& e) {
    const QString id = DiscoveryId(base);
    const QString last = base.section(u'/', -1);
    const QJsonObject device{
        {"identifiers", QJsonArray{id}}, {"name", "Kelvox " + last},
        {"manufacturer", "Kelvox"},      {"model", "Kelvox"},
        {"sw_version", KELVOX_VERSION},
    };
    QJsonObject origin{{"name", "Kelvox"}, {"sw_version", KELVOX_VERSION}};
    if (const QString home = QStringLiteral(KELVOX_HOMEPAGE); !home.isEmpty())
        origin.insert("support_url", home);
    QJsonArray availability{QJsonObject{{"topic", base + "/status"}}};
    if (e.NeedsLive)
        availability.append(QJsonObject{{"topic", base + "/availability"}});
    QJsonObject config{
        {"state_topic", base + u'/' + QLatin1String(e.Leaf)},
        {"unique_id", UniqueId(base, e)},
        {"availability", availability},
        {"device", device},
        {"origin", origin},
    };
    if (e.NeedsLive)
        config.insert("availability_mode", "all");
    e.Fill(config);
    return QJsonDocument(config).toJson(QJsonDocument::Compact);
}

QString ErrorText(int rc, int err) {
    if (rc == MOSQ_ERR_ERRNO)
        return QString::fromStdString(platform::SystemErrorOf(err).Text);
    return QString::fromUtf8(mosqlib::strerror_(rc));
}

// A topic's problem for MQTT (empty: none). `extra`: bytes that will be
// added to it.
QString TopicProblem(const QString& what, const QString& topic, qsizetype extra) {
    for (const QChar c : topic) {
        if (c == u'+' || c == u'#')
            return what + QStringLiteral(" must not contain '+' or '#'.");
        if (c.category() == QChar::Other_Control)
            return what + QStringLiteral(" must not contain control characters.");
    }
    if (topic.toUtf8().size() + extra > kMaxTopicBytes)
        return what + QStringLiteral(" is too long for MQTT (at most %1 bytes).")
                          .arg(kMaxTopicBytes - extra);
    return {};
}

// At most this much of a topic in a log line.
QString Shortened(const QByteArray& topic) {
    const QString t = QString::fromUtf8(topic);
    return t.size() <= 120 ? t : t.left(120) + QStringLiteral("...");
}

} // namespace

struct MqttShared {
    std::mutex M;
    std::condition_variable Finished;
    bool Done = false; // the network thread has ended
    bool Stop = false;
    // Where the network thread's reports go; null once the publisher is
    // being destroyed (reports already posted are dropped with it).
    TMqttPublisher* Receiver = nullptr;
    Config Wanted;
    bool ConfigChanged = false;
    bool Live = false;
    QByteArray Text, When, Link, Alarm, Backlog;
    // The latest reading and its time, also while Text and When are held
    // back: what a new connection publishes first.
    QByteArray LatestText, LatestWhen;
    const int WakeFd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);

    MqttShared() = default;
    MqttShared(const MqttShared&) = delete;
    MqttShared& operator=(const MqttShared&) = delete;
    ~MqttShared() {
        if (WakeFd >= 0)
            close(WakeFd);
    }
    void Wake() const {
        const std::uint64_t one = 1;
        [[maybe_unused]] const auto n = write(WakeFd, &one, sizeof one);
    }
    // Runs f(publisher) on the main thread, unless the publisher is gone.
    template <class F> void Post(F f) {
        std::lock_guard lock(M);
        if (Receiver)
            QMetaObject::invokeMethod(
                Receiver, [r = Receiver, f = std::move(f)] { f(r); }, Qt::QueuedConnection);
    }
};

// The network thread: owns the libmosquitto client, connects, reconnects,
// publishes. Every libmosquitto call of the program happens here.
class MqttWorker {
public:
    explicit MqttWorker(std::shared_ptr<MqttShared> shared) : Shared_(std::move(shared)) {}
    MqttWorker(const MqttWorker&) = delete;
    MqttWorker& operator=(const MqttWorker&) = delete;
    ~MqttWorker() {
        if (Client_)
            mosqlib::destroy_(Client_);
    }
    void Run();

private:
    std::shared_ptr<MqttShared> Shared_;
    Config Config_;
    mosquitto* Client_ = nullptr;
    bool Connected_ = false;     // CONNACK accepted
    bool JustConnected_ = false; // set by the CONNACK callback
    QString Refusal_;            // a refused CONNACK's reason
    QString LibError_;           // the library's last error message
    QString FailureReason(int rc, int err) const;
    bool FailureLogged_ = false;        // the current outage has its log line
    bool PublishFailureLogged_ = false; // this connection's
    int RetryMs_ = kFirstRetryMs;
    Clock::time_point NextTry_, HandshakeEnd_, LastTraffic_;
    std::optional<Clock::time_point> ResendAt_; // answer to a birth message
    int Unacknowledged_ = 0;                    // QoS 1 messages without PUBACK
    bool Live_ = false;
    QByteArray Text_, When_, Link_, Alarm_, Backlog_;
    bool StatePublished_ = false, SentLive_ = false;
    QByteArray SentText_, SentWhen_, SentLink_, SentAlarm_, SentBacklog_;
    // A state topic goes out when it has a value other than the one sent.
    void PublishIfChanged(const char* leaf, const QByteArray& value, QByteArray& sent) {
        if (!value.isEmpty() && value != sent) {
            Publish(Topic(leaf), value);
            sent = value;
        }
    }
    // The next PublishState sends every state topic again (a new connection,
    // or Home Assistant back and asking for everything).
    void ForgetSent() {
        StatePublished_ = false;
        for (QByteArray* sent : {&SentText_, &SentWhen_, &SentLink_, &SentAlarm_, &SentBacklog_})
            sent->clear();
    }
    std::mt19937 Random_{std::random_device{}()};

    QByteArray Topic(const char* leaf) const { return (Config_.Base + "/" + leaf).toUtf8(); }
    void Publish(const QByteArray& topic, const QByteArray& payload) {
        const int rc = mosqlib::publish_(Client_, nullptr, topic.constData(), int(payload.size()),
                                         payload.constData(), 1, true);
        const int err = errno;
        if (rc == MOSQ_ERR_SUCCESS) {
            ++Unacknowledged_;
        } else if (!PublishFailureLogged_) {
            PublishFailureLogged_ = true;
            Log(QStringLiteral("ERR  MQTT message to %1 not sent (%2)")
                    .arg(Shortened(topic), ErrorText(rc, err)));
        }
    }
    void Log(const QString& line) {
        Shared_->Post([line](TMqttPublisher* r) { emit r->LogLine(line); });
    }
    void ReportConnected(bool connected) {
        Shared_->Post([g = Config_.Generation, connected](TMqttPublisher* r) {
            r->WorkerConnected(g, connected);
        });
    }
    void ReportError(const QString& error) {
        Shared_->Post(
            [g = Config_.Generation, error](TMqttPublisher* r) { r->WorkerError(g, error); });
    }

    void Reconfigure(const Config& next);
    // The subscriptions and configs of the settings `next`, on a connection
    // that stays (nothing of `old` is left where it does not belong).
    void Reannounce(const Config& old);
    QList<QByteArray> Watched(const Config& c) const;
    void StartConnect();
    void OnConnected();
    void OnMessage(const mosquitto_message& m);
    void PublishConfigs();
    void PublishState();
    void Failure(const QString& reason);
    // Before a connection ends: "offline", and the configs and the state
    // topics cleared where they are to go.
    void Farewell(bool clearDiscovery, bool clearState = false);
    void Drop();
    // Waits for the wake-up, the socket or the next timer, then serves the
    // socket. Returns at the latest at deadline (when given).
    void Step(std::optional<Clock::time_point> deadline = {});
};

void MqttWorker::Run() {
    for (;;) {
        bool stop = false;
        std::optional<Config> next;
        {
            std::lock_guard lock(Shared_->M);
            stop = Shared_->Stop;
            if (Shared_->ConfigChanged) {
                next = Shared_->Wanted;
                Shared_->ConfigChanged = false;
            }
            Live_ = Shared_->Live;
            Text_ = Shared_->Text;
            When_ = Shared_->When;
            Link_ = Shared_->Link;
            Alarm_ = Shared_->Alarm;
            Backlog_ = Shared_->Backlog;
        }
        if (stop) {
            Farewell(false);
            break;
        }
        if (next)
            Reconfigure(*next);
        if (Config_.On && !Client_ && Clock::now() >= NextTry_)
            StartConnect();
        if (Connected_ && ResendAt_ && Clock::now() >= *ResendAt_) {
            // Home Assistant came back: it wants everything again.
            ResendAt_.reset();
            PublishConfigs();
            ForgetSent();
        }
        if (Connected_)
            PublishState();
        Step();
    }
    Drop();
    {
        std::lock_guard lock(Shared_->M);
        Shared_->Done = true;
    }
    Shared_->Finished.notify_all();
}

void MqttWorker::Reconfigure(const Config& next) {
    // The connection stays when the broker, the credentials and the will
    // (under the base topic) stay: nothing goes offline for a reload.
    if (Client_ && next.SameConnection(Config_) && next.Base == Config_.Base) {
        const Config old = Config_;
        Config_ = next;
        if (Connected_)
            Reannounce(old);
        ReportConnected(Connected_); // under the new settings' generation
        return;
    }
    // The discovery messages stay only where the same ones would be
    // published again; the state goes with a base topic that is left for
    // another (switched off, it says "offline").
    const bool kept = next.Discovery && next.Base == Config_.Base &&
                      next.Prefix == Config_.Prefix && next.SameConnection(Config_);
    Farewell(Config_.Discovery && !kept, next.On && next.Base != Config_.Base);
    Drop();
    Config_ = next;
    FailureLogged_ = false;
    RetryMs_ = kFirstRetryMs;
    NextTry_ = Clock::now();
}

QList<QByteArray> MqttWorker::Watched(const Config& c) const {
    // Configs left from earlier runs are looked at as the broker hands them
    // over: ours are removed where discovery is off now, and always under
    // the topic earlier versions used; the retained availability, to correct
    // one a killed run left "online".
    QList<QByteArray> topics{LegacyConfigTopic(c), (c.Base + "/availability").toUtf8()};
    if (c.Discovery) {
        topics << BirthTopic(c);
    } else {
        for (const EntityDef& e : kEntities)
            topics << ConfigTopic(c, e);
    }
    return topics;
}

void MqttWorker::Reannounce(const Config& old) {
    const bool moved = old.Prefix != Config_.Prefix;
    if (old.Discovery && (!Config_.Discovery || moved))
        for (const EntityDef& e : kEntities)
            Publish(ConfigTopic(old, e), {});
    const QList<QByteArray> before = Watched(old), after = Watched(Config_);
    for (const QByteArray& topic : before)
        if (!after.contains(topic))
            mosqlib::unsubscribe_(Client_, nullptr, topic.constData());
    for (const QByteArray& topic : after)
        if (!before.contains(topic))
            mosqlib::subscribe_(Client_, nullptr, topic.constData(), 1);
    if (Config_.Discovery && (!old.Discovery || moved))
        PublishConfigs();
}

void MqttWorker::StartConnect() {
    Connected_ = JustConnected_ = false;
    Refusal_.clear();
    LibError_.clear();
    Unacknowledged_ = 0;
    ResendAt_.reset();
    Client_ = mosqlib::new_(nullptr, true, this);
    if (!Client_) {
        Failure(QStringLiteral("out of memory"));
        return;
    }
    mosqlib::int_option_(Client_, MOSQ_OPT_PROTOCOL_VERSION, MQTT_PROTOCOL_V311);
    mosqlib::connect_callback_set_(Client_, [](mosquitto*, void* self, int rc) {
        auto* w = static_cast<MqttWorker*>(self);
        if (rc == 0)
            w->JustConnected_ = true;
        else
            w->Refusal_ = QString::fromUtf8(mosqlib::connack_string_(rc));
    });
    mosqlib::publish_callback_set_(Client_, [](mosquitto*, void* self, int) {
        auto* w = static_cast<MqttWorker*>(self);
        w->Unacknowledged_ = std::max(0, w->Unacknowledged_ - 1);
    });
    mosqlib::message_callback_set_(Client_, [](mosquitto*, void* self, const mosquitto_message* m) {
        static_cast<MqttWorker*>(self)->OnMessage(*m);
    });
    // The library tells why TLS failed only in its log.
    mosqlib::log_callback_set_(Client_, [](mosquitto*, void* self, int level, const char* text) {
        if (level == MOSQ_LOG_ERR)
            static_cast<MqttWorker*>(self)->LibError_ = QString::fromUtf8(text);
    });
    if (!Config_.User.isEmpty())
        mosqlib::username_pw_set_(Client_, Config_.User.constData(),
                                  Config_.Password.isEmpty() ? nullptr
                                                             : Config_.Password.constData());
    const QByteArray status = Topic("status");
    if (const int rc = mosqlib::will_set_(Client_, status.constData(), 7, "offline", 1, true);
        rc != MOSQ_ERR_SUCCESS && !FailureLogged_)
        Log(QStringLiteral("ERR  MQTT last will on %1 cannot be set (%2)")
                .arg(Shortened(status), ErrorText(rc, errno)));
    if (Config_.Broker.Tls) {
        mosqlib::int_option_(Client_, MOSQ_OPT_TLS_USE_OS_CERTS, 1);
        mosqlib::tls_set_(Client_, nullptr, "/etc/ssl/certs", nullptr, nullptr, nullptr);
    }
    // Non-blocking apart from the name lookup; Step() drives the rest.
    const int rc = mosqlib::connect_async_(Client_, Config_.Broker.Host.toUtf8().constData(),
                                           Config_.Broker.Port, kKeepAliveS);
    const int err = errno;
    if (rc != MOSQ_ERR_SUCCESS) {
        // A TLS handshake with a near broker may already fail here.
        Failure(FailureReason(rc, err));
        return;
    }
    HandshakeEnd_ = Clock::now() + kHandshake;
}

// Named as the upload names it. OpenSSL's text is in the library's log only
// when some library of the process loaded its error strings; the packed code
// (SSL library, reason 134) is there always.
QString MqttWorker::FailureReason(int rc, int err) const {
    if (rc == MOSQ_ERR_TLS && (LibError_.contains(QLatin1String("certificate verify failed")) ||
                               LibError_.contains(QLatin1String("0A000086"))))
        return QStringLiteral("TLS error: certificate not trusted");
    return ErrorText(rc, err);
}

void MqttWorker::OnConnected() {
    JustConnected_ = false;
    Connected_ = true;
    RetryMs_ = kFirstRetryMs;
    FailureLogged_ = false;
    PublishFailureLogged_ = false;
    // The log line first: whoever sees the new state finds it logged.
    Log(QStringLiteral("OK  MQTT connected to %1").arg(Config_.BrokerText));
    ReportError({});
    ReportConnected(true);
    for (const QByteArray& topic : Watched(Config_))
        mosqlib::subscribe_(Client_, nullptr, topic.constData(), 1);
    if (Config_.Discovery)
        PublishConfigs();
    Publish(Topic("status"), "online");
    // The latest reading and its time go out first, not the ones handed
    // over last (a value held back for its turn is older than the reading
    // of now); the main thread counts its next turn from here.
    {
        std::lock_guard lock(Shared_->M);
        if (!Shared_->LatestText.isEmpty())
            Shared_->Text = Text_ = Shared_->LatestText;
        if (!Shared_->LatestWhen.isEmpty())
            Shared_->When = When_ = Shared_->LatestWhen;
    }
    Shared_->Post([g = Config_.Generation, text = Text_, when = When_](TMqttPublisher* r) {
        r->WorkerPublishedLatest(g, QString::fromUtf8(text), QString::fromUtf8(when));
    });
    ForgetSent();
    PublishState();
}

void MqttWorker::OnMessage(const mosquitto_message& m) {
    const QByteArray topic(m.topic);
    const QByteArray payload(static_cast<const char*>(m.payload), m.payloadlen);
    if (Config_.Discovery && topic == BirthTopic(Config_)) {
        if (payload == "online") {
            std::uniform_int_distribution<int> delay(kBirthDelayMinMs, kBirthDelayMaxMs);
            ResendAt_ = Clock::now() + milliseconds(delay(Random_));
        }
        return;
    }
    if (topic == Topic("availability")) {
        // A run that was killed left "online" behind, and this one has no
        // live reading to say so yet.
        if (m.retain && payload == "online" && !StatePublished_) {
            Publish(topic, "offline");
            SentLive_ = false;
            StatePublished_ = true;
        }
        return;
    }
    // A retained config: removed when it is ours (its unique_id is one
    // this base topic gives) and nothing of ours should be there.
    if (payload.isEmpty() || !m.retain)
        return;
    const QString uniqueId =
        QJsonDocument::fromJson(payload).object().value("unique_id").toString();
    bool ours =
        topic == LegacyConfigTopic(Config_) && uniqueId == UniqueId(Config_.Base, kEntities[0]);
    for (const EntityDef& e : kEntities)
        ours = ours || (!Config_.Discovery && topic == ConfigTopic(Config_, e) &&
                        uniqueId == UniqueId(Config_.Base, e));
    if (ours)
        Publish(topic, {});
}

void MqttWorker::PublishConfigs() {
    for (const EntityDef& e : kEntities)
        Publish(ConfigTopic(Config_, e), ConfigPayload(Config_.Base, e));
}

void MqttWorker::PublishState() {
    PublishIfChanged("temperature", Text_, SentText_);
    PublishIfChanged("last_reading", When_, SentWhen_);
    PublishIfChanged("link", Link_, SentLink_);
    PublishIfChanged("alarm", Alarm_, SentAlarm_);
    PublishIfChanged("backlog", Backlog_, SentBacklog_);
    // A port just opened, its first reading not yet come, says nothing at
    // the start of a connection: "offline" now and "online" a second later
    // would be a blip. Silence, a bad line or a closed port decide it.
    const bool decided = Live_ || Link_ != "connected";
    if ((!StatePublished_ && decided) || (StatePublished_ && Live_ != SentLive_)) {
        Publish(Topic("availability"), Live_ ? "online" : "offline");
        SentLive_ = Live_;
        StatePublished_ = true;
    }
}

void MqttWorker::Failure(const QString& reason) {
    const bool wasConnected = Connected_;
    Drop();
    if (wasConnected)
        Log(QStringLiteral("ERR  MQTT connection to %1 lost (%2)").arg(Config_.BrokerText, reason));
    else if (!FailureLogged_)
        Log(QStringLiteral("ERR  MQTT broker %1 cannot be reached (%2)")
                .arg(Config_.BrokerText, reason));
    FailureLogged_ = true;
    ReportError(QStringLiteral("%1: %2").arg(Config_.BrokerText, reason));
    NextTry_ = Clock::now() + milliseconds(RetryMs_);
    RetryMs_ = std::min(RetryMs_ * 2, kLastRetryMs);
}

void MqttWorker::Farewell(bool clearDiscovery, bool clearState) {
    if (!Client_ || !Connected_)
        return;
    // A clean disconnect drops the will, so "offline" is said outright;
    // state topics that are left behind are cleared instead.
    if (clearState) {
        for (const QByteArray& leaf : StateLeaves())
            Publish(Topic(leaf.constData()), {});
    } else {
        Publish(Topic("availability"), "offline");
        Publish(Topic("status"), "offline");
    }
    if (clearDiscovery)
        for (const EntityDef& e : kEntities)
            Publish(ConfigTopic(Config_, e), {});
    const auto deadline = Clock::now() + kFarewell;
    while (Client_ && Unacknowledged_ > 0 && Clock::now() < deadline)
        Step(deadline);
    if (Client_)
        mosqlib::disconnect_(Client_);
}

void MqttWorker::Drop() {
    if (Client_) {
        mosqlib::destroy_(Client_);
        Client_ = nullptr;
    }
    JustConnected_ = false;
    ResendAt_.reset();
    if (Connected_) {
        Connected_ = false;
        ReportConnected(false);
    }
}

void MqttWorker::Step(std::optional<Clock::time_point> deadline) {
    const auto now = Clock::now();
    auto until = [&](Clock::time_point t) {
        return int(std::clamp<long long>(
            std::chrono::duration_cast<milliseconds>(t - now).count() + 1, 0, 3600 * 1000));
    };
    auto sooner = [](int a, int b) { return a < 0 ? b : std::min(a, b); };
    // Nothing to do: sleep until woken, the socket speaks, or the next
    // thing falls due (the keep-alive, a retry, the answer to a birth).
    int timeout = -1;
    if (Client_)
        timeout = Connected_ ? until(LastTraffic_ + kKeepAliveWake) : until(HandshakeEnd_);
    else if (Config_.On)
        timeout = until(NextTry_);
    if (ResendAt_)
        timeout = sooner(timeout, until(*ResendAt_));
    if (deadline)
        timeout = sooner(timeout, until(*deadline));

    pollfd fds[2] = {{Shared_->WakeFd, POLLIN, 0}, {-1, 0, 0}};
    const int sock = Client_ ? mosqlib::socket_(Client_) : -1;
    if (sock >= 0)
        fds[1] = {sock, short(POLLIN | (mosqlib::want_write_(Client_) ? POLLOUT : 0)), 0};
    if (poll(fds, sock >= 0 ? 2 : 1, timeout) < 0 && errno != EINTR)
        return;
    if (fds[0].revents) {
        std::uint64_t count;
        [[maybe_unused]] const auto n = read(Shared_->WakeFd, &count, sizeof count);
    }
    if (!Client_)
        return;
    if (sock < 0) {
        Failure(QStringLiteral("no connection"));
        return;
    }
    int rc = MOSQ_ERR_SUCCESS;
    if (fds[1].revents & (POLLIN | POLLERR | POLLHUP))
        rc = mosqlib::loop_read_(Client_, 1);
    if (rc == MOSQ_ERR_SUCCESS && (fds[1].revents & POLLOUT))
        rc = mosqlib::loop_write_(Client_, 1);
    if (fds[1].revents)
        LastTraffic_ = Clock::now();
    if (rc == MOSQ_ERR_SUCCESS)
        rc = mosqlib::loop_misc_(Client_);
    const int err = errno;
    if (rc != MOSQ_ERR_SUCCESS) {
        Failure(Refusal_.isEmpty() ? FailureReason(rc, err) : Refusal_);
        return;
    }
    if (JustConnected_) {
        LastTraffic_ = Clock::now();
        OnConnected();
    } else if (!Connected_ && Clock::now() >= HandshakeEnd_) {
        Failure(QStringLiteral("no answer from the broker"));
    }
}

std::optional<MqttBroker> ParseMqttBroker(const QString& text, QString* error) {
    auto fail = [&](const QString& why) {
        *error = why;
        return std::nullopt;
    };
    const QString t = text.trimmed();
    MqttBroker b;
    QString rest;
    if (t.startsWith(QLatin1String("mqtt://"), Qt::CaseInsensitive)) {
        b.Port = 1883;
        rest = t.mid(7);
    } else if (t.startsWith(QLatin1String("mqtts://"), Qt::CaseInsensitive)) {
        b.Tls = true;
        b.Port = 8883;
        rest = t.mid(8);
    } else {
        return fail(QStringLiteral("The broker must begin with mqtt:// or mqtts://."));
    }
    // The text itself never goes into the message: it might hold a password.
    if (rest.contains(u'@'))
        return fail(QStringLiteral(
            "The broker must not contain a user name or password; use User and Password."));
    if (rest.endsWith(u'/'))
        rest.chop(1);
    if (rest.contains(u'/') || rest.contains(u'?') || rest.contains(u'#'))
        return fail(QStringLiteral("The broker must be mqtt://host[:port] or "
                                   "mqtts://host[:port], without a path."));
    std::optional<QString> portText;
    if (rest.startsWith(u'[')) {
        const auto close = rest.indexOf(u']');
        const QString after = close < 0 ? QString() : rest.mid(close + 1);
        if (close < 0 || !(after.isEmpty() || after.startsWith(u':')))
            return fail(QStringLiteral("The broker's IPv6 address is not closed by ']'."));
        b.Host = rest.mid(1, close - 1);
        if (!after.isEmpty())
            portText = after.mid(1);
    } else {
        const auto colons = rest.count(u':');
        if (colons > 1)
            return fail(QStringLiteral("Put an IPv6 address of the broker in [ ]."));
        b.Host = rest.section(u':', 0, 0);
        if (colons == 1)
            portText = rest.section(u':', 1);
    }
    if (b.Host.isEmpty())
        return fail(QStringLiteral("The broker has no host name."));
    for (const QChar c : b.Host)
        if (c.isSpace() || c.category() == QChar::Other_Control)
            return fail(QStringLiteral("The broker's host name is not valid."));
    if (portText) {
        bool ok = false;
        const int port = portText->toInt(&ok);
        const bool digits = std::all_of(portText->begin(), portText->end(),
                                        [](QChar c) { return c >= u'0' && c <= u'9'; });
        if (!ok || !digits || port < 1 || port > 65535)
            return fail(QStringLiteral("The broker's port must be a number from 1 to 65535."));
        b.Port = port;
    }
    return b;
}

std::optional<QString> MqttBaseTopic(const QString& topic, QString* error) {
    QString t = topic.trimmed();
    if (t.isEmpty())
        t = DefaultMqttTopic();
    while (t.size() > 1 && t.endsWith(u'/'))
        t.chop(1);
    if (const QString problem = TopicProblem(QStringLiteral("The topic"), t, kLongestLeaf);
        !problem.isEmpty()) {
        *error = problem;
        return std::nullopt;
    }
    return t;
}

std::optional<QString> MqttDiscoveryPrefix(const QString& prefix, const QString& base,
                                           QString* error) {
    QString p = prefix.trimmed();
    while (p.endsWith(u'/'))
        p.chop(1);
    if (p.isEmpty())
        p = kDefaultPrefix;
    // The longest topic under it: "<prefix>/sensor/<id>_last_reading/config".
    const qsizetype tail = sizeof("/sensor/") - 1 + DiscoveryId(base).size() + kLongestConfigTail;
    if (const QString problem = TopicProblem(QStringLiteral("The discovery prefix"), p, tail);
        !problem.isEmpty()) {
        *error = problem;
        return std::nullopt;
    }
    return p;
}

QStringList MqttSettingsProblems(const MqttSettings& settings) {
    QStringList problems;
    QString error;
    if (!settings.Broker.trimmed().isEmpty() && !ParseMqttBroker(settings.Broker, &error))
        problems << QStringLiteral("Broker: ") + error;
    if (const std::optional<QString> base = MqttBaseTopic(settings.Topic, &error); !base)
        problems << QStringLiteral("Topic: ") + error;
    else if (!MqttDiscoveryPrefix(settings.DiscoveryPrefix, *base, &error))
        problems << QStringLiteral("DiscoveryPrefix: ") + error;
    return problems;
}

QString DefaultMqttTopic() {
    const QString host = QSysInfo::machineHostName();
    const QString topic = host.isEmpty() ? QStringLiteral("kelvox") : "kelvox/" + host;
    const QString instance = InstanceName();
    return instance.isEmpty() ? topic : topic + u'/' + instance;
}

QString InstanceName() {
    return qEnvironmentVariable("KELVOX_INSTANCE");
}

QString FormatMqttTemperature(long double celsius) {
    QString text = QString::number(static_cast<double>(celsius), 'f', 1);
    if (text == QLatin1String("-0.0"))
        text = QStringLiteral("0.0");
    return text;
}

TMqttPublisher::TMqttPublisher(QObject* parent)
    : QObject(parent), Shared_(std::make_shared<MqttShared>()) {
    Shared_->Receiver = this;
    Hold_.setObjectName(QStringLiteral("MqttHold"));
    Hold_.setParent(this);
    Hold_.setSingleShot(true);
    connect(&Hold_, &QTimer::timeout, this, &TMqttPublisher::Flush);
}

TMqttPublisher::~TMqttPublisher() {
    {
        std::lock_guard lock(Shared_->M);
        Shared_->Receiver = nullptr;
        Shared_->Stop = true;
    }
    Shared_->Wake();
    if (!Worker_.joinable())
        return;
    bool done;
    {
        std::unique_lock lock(Shared_->M);
        done = Shared_->Finished.wait_for(lock, kDestructorWait, [&] { return Shared_->Done; });
    }
    // A thread stuck in a name lookup finishes on its own later; it holds
    // its share of the state and reports to nobody.
    if (done)
        Worker_.join();
    else
        Worker_.detach();
}

void TMqttPublisher::Apply(const MqttSettings& settings) {
    if (Applied_ && settings == Settings_)
        return;
    Applied_ = true;
    Settings_ = settings;
    ++Generation_;
    Config cfg;
    cfg.Generation = Generation_;
    QString error;
    if (!settings.Broker.trimmed().isEmpty()) {
        const auto broker = ParseMqttBroker(settings.Broker, &error);
        const auto base = broker ? MqttBaseTopic(settings.Topic, &error) : std::nullopt;
        const auto prefix =
            base ? MqttDiscoveryPrefix(settings.DiscoveryPrefix, *base, &error) : std::nullopt;
        if (prefix) {
            cfg.On = true;
            cfg.Broker = *broker;
            cfg.BrokerText =
                QStringLiteral("%1://%2:%3")
                    .arg(broker->Tls ? "mqtts" : "mqtt",
                         broker->Host.contains(u':') ? "[" + broker->Host + "]" : broker->Host)
                    .arg(broker->Port);
            cfg.User = settings.User.toUtf8();
            cfg.Password = settings.Password.toUtf8();
            cfg.Base = *base;
            cfg.Prefix = *prefix;
            cfg.Discovery = settings.Discovery;
        }
    }
    if (!error.isEmpty())
        emit LogLine("ERR  MQTT: " + error);
    if (cfg.On && !mosqlib::Load(&error)) {
        cfg.On = false;
        emit LogLine("ERR  MQTT: " + error);
    }
    // One line for each switch: on, to another broker, off.
    if (cfg.On && !On_)
        emit LogLine(
            QStringLiteral("OK  MQTT on: broker %1, topic %2").arg(cfg.BrokerText, cfg.Base));
    else if (cfg.On && cfg.BrokerText != BrokerText_)
        emit LogLine(QStringLiteral("OK  MQTT broker changed to %1").arg(cfg.BrokerText));
    else if (!cfg.On && On_)
        emit LogLine(QStringLiteral("OK  MQTT off"));
    On_ = cfg.On;
    BrokerText_ = cfg.BrokerText;
    bool keepsConnection = false;
    {
        std::lock_guard lock(Shared_->M);
        // The network thread keeps such a connection (MqttWorker::Reconfigure).
        keepsConnection = cfg.SameConnection(Shared_->Wanted) && cfg.Base == Shared_->Wanted.Base;
        Shared_->Wanted = cfg;
        Shared_->ConfigChanged = true;
    }
    if (!Worker_.joinable() && cfg.On) {
        Worker_ = std::thread([shared = Shared_] { MqttWorker(shared).Run(); });
        // Named for top -H and the like.
        pthread_setname_np(Worker_.native_handle(), "kelvox-mqtt");
    }
    Shared_->Wake();
    // The new settings' state from now on, not the last connection's.
    if (Connected_ && !keepsConnection) {
        Connected_ = false;
        emit ConnectedChanged(false);
    }
    SetError(error);
    UpdateState();
}

void TMqttPublisher::Reading(long double celsius, const QDateTime& when) {
    if (!std::isfinite(celsius)) {
        ReadingLost();
        return;
    }
    Live_ = true;
    Text_ = FormatMqttTemperature(celsius);
    When_ = (when.isValid() ? when : QDateTime::currentDateTimeUtc()).toUTC().toString(Qt::ISODate);
    {
        // Not a wake-up: only a new connection takes it from here.
        std::lock_guard lock(Shared_->M);
        Shared_->LatestText = Text_.toUtf8();
        Shared_->LatestWhen = When_.toUtf8();
    }
    Flush();
}

void TMqttPublisher::ReadingLost() {
    Live_ = false;
    Flush();
}

void TMqttPublisher::SetAlarmState(const QString& word) {
    if (word == Alarm_)
        return;
    Alarm_ = word;
    {
        std::lock_guard lock(Shared_->M);
        Shared_->Alarm = Alarm_.toUtf8();
    }
    Shared_->Wake();
}

void TMqttPublisher::SetBacklog(std::optional<qint64> count) {
    const QString text = count ? QString::number(*count) : QString();
    if (text == Backlog_)
        return;
    Backlog_ = text;
    {
        std::lock_guard lock(Shared_->M);
        Shared_->Backlog = Backlog_.toUtf8();
    }
    Shared_->Wake();
}

void TMqttPublisher::SetLinkState(LinkState state) {
    if (LinkStateWord(state) == Link_)
        return;
    Link_ = LinkStateWord(state);
    {
        std::lock_guard lock(Shared_->M);
        Shared_->Link = Link_.toUtf8();
    }
    Shared_->Wake();
}

void TMqttPublisher::Flush() {
    // Switched off, nothing is published, so nothing is held back either:
    // the values only wait in the shared state for a later switch on, and
    // no timer wakes a program that does not publish.
    auto remaining = [this](const QElapsedTimer& t) -> qint64 {
        return On_ && t.isValid() ? std::max<qint64>(0, MinIntervalMs - t.elapsed()) : 0;
    };
    qint64 wait = -1;
    auto hold = [&](qint64 ms) { wait = wait < 0 ? ms : std::min(wait, ms); };
    bool handText = false, handWhen = false;
    // A new value waits for its turn, counted from the last value.
    if (Live_ && Text_ != SentText_) {
        if (remaining(LastValue_) == 0)
            handText = handWhen = true;
        else
            hold(remaining(LastValue_));
    }
    // The time alone: at most as often, and at once when the reading ends
    // (the time a user looks for then).
    if (!handWhen && When_ != SentWhen_) {
        if (!Live_ || remaining(LastWhen_) == 0)
            handWhen = true;
        else
            hold(remaining(LastWhen_));
    }
    // The next reading usually comes first and takes the held value along;
    // the timer is moved only when it would be too late, so that readings
    // within the window do not re-arm it.
    if (wait < 0) {
        Hold_.stop();
    } else {
        wait += HoldGraceMs;
        if (!Hold_.isActive() || Hold_.remainingTime() > wait)
            Hold_.start(int(wait));
    }
    // The network thread is woken only when there is something to send.
    if (Live_ == HandedLive_ && !handText && !handWhen)
        return;
    HandedLive_ = Live_;
    {
        std::lock_guard lock(Shared_->M);
        Shared_->Live = Live_;
        if (handText)
            Shared_->Text = Text_.toUtf8();
        if (handWhen)
            Shared_->When = When_.toUtf8();
    }
    Shared_->Wake();
    if (handText) {
        SentText_ = Text_;
        LastValue_.start();
    }
    if (handWhen) {
        SentWhen_ = When_;
        LastWhen_.start();
    }
}

void TMqttPublisher::SetError(const QString& error) {
    if (error == LastError_)
        return;
    LastError_ = error;
    emit LastErrorChanged(error);
    UpdateState();
}

void TMqttPublisher::UpdateState() {
    const MqttState state = !On_ ? (LastError_.isEmpty() ? MqttState::Off : MqttState::Failed)
                            : Connected_           ? MqttState::Connected
                            : LastError_.isEmpty() ? MqttState::Connecting
                                                   : MqttState::Failed;
    if (state == State_)
        return;
    State_ = state;
    emit StateChanged(state);
}

void TMqttPublisher::WorkerConnected(quint64 generation, bool connected) {
    if (generation != Generation_ || connected == Connected_)
        return;
    Connected_ = connected;
    emit ConnectedChanged(connected);
    UpdateState();
}

void TMqttPublisher::WorkerPublishedLatest(quint64 generation, const QString& text,
                                           const QString& when) {
    if (generation != Generation_)
        return;
    // The next value's turn counts from the one a new connection published.
    if (!text.isEmpty()) {
        SentText_ = text;
        LastValue_.start();
    }
    if (!when.isEmpty()) {
        SentWhen_ = when;
        LastWhen_.start();
    }
    Flush();
}

void TMqttPublisher::WorkerError(quint64 generation, const QString& error) {
    if (generation == Generation_)
        SetError(error);
}
