#include "monitor/MqttPublisher.h"

#include "monitor/MosquittoLib.h"
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
#include <sys/eventfd.h>
#include <unistd.h>

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

// The program's value for "no reading"; it must never go out as a value.
constexpr long double kNoReading = -100.0L;
constexpr int kKeepAliveS = 30;
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

// A validated configuration as the network thread uses it.
struct Config {
    bool On = false;
    MqttBroker Broker;
    QString BrokerText; // for log lines; holds no credentials
    QByteArray User, Password;
    QString Base;
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

QByteArray DiscoveryTopic(const QString& base) {
    return ("homeassistant/sensor/" + DiscoveryId(base) + "/config").toUtf8();
}

QByteArray DiscoveryPayload(const QString& base) {
    const QString id = DiscoveryId(base);
    const QString last = base.section(u'/', -1);
    const QJsonObject device{
        {"identifiers", QJsonArray{id}},
        {"name", "Kelvox " + last},
        {"model", "Kelvox"},
        {"sw_version", KELVOX_VERSION},
    };
    const QJsonObject config{
        {"name", "Temperature"},
        {"device_class", "temperature"},
        {"unit_of_measurement", QString::fromUtf8("\u00b0C")},
        {"state_class", "measurement"},
        {"state_topic", base + "/temperature"},
        {"availability_topic", base + "/availability"},
        {"unique_id", id + "_temperature"},
        {"device", device},
    };
    return QJsonDocument(config).toJson(QJsonDocument::Compact);
}

QString ErrorText(int rc, int err) {
    if (rc == MOSQ_ERR_ERRNO)
        return QString::fromStdString(platform::SystemErrorOf(err).Text);
    return QString::fromUtf8(mosqlib::strerror_(rc));
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
    QByteArray Text;
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
    explicit MqttWorker(std::shared_ptr<MqttShared> shared) : S(std::move(shared)) {}
    MqttWorker(const MqttWorker&) = delete;
    MqttWorker& operator=(const MqttWorker&) = delete;
    ~MqttWorker() {
        if (Mosq)
            mosqlib::destroy_(Mosq);
    }
    void Run();

private:
    std::shared_ptr<MqttShared> S;
    Config Cur;
    mosquitto* Mosq = nullptr;
    bool Connected = false;     // CONNACK accepted
    bool JustConnected = false; // set by the CONNACK callback
    QString Refusal;            // a refused CONNACK's reason
    bool FailureLogged = false; // the current outage has its log line
    int RetryMs = kFirstRetryMs;
    Clock::time_point NextTry, HandshakeEnd;
    int Unacknowledged = 0; // QoS 1 messages without PUBACK
    bool Live = false;
    QByteArray Text;
    bool StatePublished = false, SentLive = false;
    QByteArray SentText;

    QByteArray Topic(const char* leaf) const { return (Cur.Base + "/" + leaf).toUtf8(); }
    void Publish(const QByteArray& topic, const QByteArray& payload) {
        mosqlib::publish_(Mosq, nullptr, topic.constData(), int(payload.size()),
                          payload.constData(), 1, true);
        ++Unacknowledged;
    }
    void Log(const QString& line) {
        S->Post([line](TMqttPublisher* r) { emit r->LogLine(line); });
    }
    void ReportConnected(bool connected) {
        S->Post([connected](TMqttPublisher* r) { r->WorkerConnected(connected); });
    }
    void ReportError(const QString& error) {
        S->Post([g = Cur.Generation, error](TMqttPublisher* r) { r->WorkerError(g, error); });
    }

    void Reconfigure(const Config& next);
    void StartConnect();
    void OnConnected();
    void PublishState();
    void Failure(const QString& reason);
    void Farewell(bool clearDiscovery);
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
            std::lock_guard lock(S->M);
            stop = S->Stop;
            if (S->ConfigChanged) {
                next = S->Wanted;
                S->ConfigChanged = false;
            }
            Live = S->Live;
            Text = S->Text;
        }
        if (stop) {
            Farewell(false);
            break;
        }
        if (next)
            Reconfigure(*next);
        if (Cur.On && !Mosq && Clock::now() >= NextTry)
            StartConnect();
        if (Connected)
            PublishState();
        Step();
    }
    Drop();
    {
        std::lock_guard lock(S->M);
        S->Done = true;
    }
    S->Finished.notify_all();
}

void MqttWorker::Reconfigure(const Config& next) {
    // The discovery message stays only where the same one would be
    // published again.
    const bool kept = next.Discovery && next.Base == Cur.Base && next.SameConnection(Cur);
    Farewell(Cur.Discovery && !kept);
    Drop();
    Cur = next;
    FailureLogged = false;
    RetryMs = kFirstRetryMs;
    NextTry = Clock::now();
}

void MqttWorker::StartConnect() {
    Connected = JustConnected = false;
    Refusal.clear();
    Unacknowledged = 0;
    Mosq = mosqlib::new_(nullptr, true, this);
    if (!Mosq) {
        Failure(QStringLiteral("out of memory"));
        return;
    }
    mosqlib::int_option_(Mosq, MOSQ_OPT_PROTOCOL_VERSION, MQTT_PROTOCOL_V311);
    mosqlib::connect_callback_set_(Mosq, [](mosquitto*, void* self, int rc) {
        auto* w = static_cast<MqttWorker*>(self);
        if (rc == 0)
            w->JustConnected = true;
        else
            w->Refusal = QString::fromUtf8(mosqlib::connack_string_(rc));
    });
    mosqlib::publish_callback_set_(Mosq, [](mosquitto*, void* self, int) {
        auto* w = static_cast<MqttWorker*>(self);
        w->Unacknowledged = std::max(0, w->Unacknowledged - 1);
    });
    if (!Cur.User.isEmpty())
        mosqlib::username_pw_set_(Mosq, Cur.User.constData(),
                                  Cur.Password.isEmpty() ? nullptr : Cur.Password.constData());
    const QByteArray availability = Topic("availability");
    mosqlib::will_set_(Mosq, availability.constData(), 7, "offline", 1, true);
    if (Cur.Broker.Tls) {
        mosqlib::int_option_(Mosq, MOSQ_OPT_TLS_USE_OS_CERTS, 1);
        mosqlib::tls_set_(Mosq, nullptr, "/etc/ssl/certs", nullptr, nullptr, nullptr);
    }
    // Non-blocking apart from the name lookup; Step() drives the rest.
    const int rc = mosqlib::connect_async_(Mosq, Cur.Broker.Host.toUtf8().constData(),
                                           Cur.Broker.Port, kKeepAliveS);
    const int err = errno;
    if (rc != MOSQ_ERR_SUCCESS) {
        Failure(ErrorText(rc, err));
        return;
    }
    HandshakeEnd = Clock::now() + kHandshake;
}

void MqttWorker::OnConnected() {
    JustConnected = false;
    Connected = true;
    RetryMs = kFirstRetryMs;
    FailureLogged = false;
    // The log line first: whoever sees the new state finds it logged.
    Log(QStringLiteral("OK  MQTT connected to %1").arg(Cur.BrokerText));
    ReportError({});
    ReportConnected(true);
    Publish(DiscoveryTopic(Cur.Base), Cur.Discovery ? DiscoveryPayload(Cur.Base) : QByteArray());
    StatePublished = false;
    SentText.clear();
    PublishState();
}

void MqttWorker::PublishState() {
    if (Live && !Text.isEmpty() && Text != SentText) {
        Publish(Topic("temperature"), Text);
        SentText = Text;
    }
    if (!StatePublished || Live != SentLive) {
        Publish(Topic("availability"), Live ? "online" : "offline");
        SentLive = Live;
        StatePublished = true;
    }
}

void MqttWorker::Failure(const QString& reason) {
    const bool wasConnected = Connected;
    Drop();
    if (wasConnected)
        Log(QStringLiteral("ERR  MQTT connection to %1 lost (%2)").arg(Cur.BrokerText, reason));
    else if (!FailureLogged)
        Log(QStringLiteral("ERR  MQTT broker %1 cannot be reached (%2)")
                .arg(Cur.BrokerText, reason));
    FailureLogged = true;
    ReportError(QStringLiteral("%1: %2").arg(Cur.BrokerText, reason));
    NextTry = Clock::now() + milliseconds(RetryMs);
    RetryMs = std::min(RetryMs * 2, kLastRetryMs);
}

void MqttWorker::Farewell(bool clearDiscovery) {
    if (!Mosq || !Connected)
        return;
    // A clean disconnect drops the will, so "offline" is said outright.
    Publish(Topic("availability"), "offline");
    if (clearDiscovery)
        Publish(DiscoveryTopic(Cur.Base), {});
    const auto deadline = Clock::now() + kFarewell;
    while (Mosq && Unacknowledged > 0 && Clock::now() < deadline)
        Step(deadline);
    if (Mosq)
        mosqlib::disconnect_(Mosq);
}

void MqttWorker::Drop() {
    if (Mosq) {
        mosqlib::destroy_(Mosq);
        Mosq = nullptr;
    }
    JustConnected = false;
    if (Connected) {
        Connected = false;
        ReportConnected(false);
    }
}

void MqttWorker::Step(std::optional<Clock::time_point> deadline) {
    const auto now = Clock::now();
    auto until = [&](Clock::time_point t) {
        return int(std::clamp<long long>(
            std::chrono::duration_cast<milliseconds>(t - now).count() + 1, 0, 1000));
    };
    int timeout = -1;
    if (Mosq)
        timeout = Connected ? 1000 : until(HandshakeEnd);
    else if (Cur.On)
        timeout = until(NextTry);
    if (deadline)
        timeout = timeout < 0 ? until(*deadline) : std::min(timeout, until(*deadline));

    pollfd fds[2] = {{S->WakeFd, POLLIN, 0}, {-1, 0, 0}};
    const int sock = Mosq ? mosqlib::socket_(Mosq) : -1;
    if (sock >= 0)
        fds[1] = {sock, short(POLLIN | (mosqlib::want_write_(Mosq) ? POLLOUT : 0)), 0};
    if (poll(fds, sock >= 0 ? 2 : 1, timeout) < 0 && errno != EINTR)
        return;
    if (fds[0].revents) {
        std::uint64_t count;
        [[maybe_unused]] const auto n = read(S->WakeFd, &count, sizeof count);
    }
    if (!Mosq)
        return;
    if (sock < 0) {
        Failure(QStringLiteral("no connection"));
        return;
    }
    int rc = MOSQ_ERR_SUCCESS;
    if (fds[1].revents & (POLLIN | POLLERR | POLLHUP))
        rc = mosqlib::loop_read_(Mosq, 1);
    if (rc == MOSQ_ERR_SUCCESS && (fds[1].revents & POLLOUT))
        rc = mosqlib::loop_write_(Mosq, 1);
    if (rc == MOSQ_ERR_SUCCESS)
        rc = mosqlib::loop_misc_(Mosq);
    const int err = errno;
    if (rc != MOSQ_ERR_SUCCESS) {
        Failure(Refusal.isEmpty() ? ErrorText(rc, err) : Refusal);
        return;
    }
    if (JustConnected)
        OnConnected();
    else if (!Connected && Clock::now() >= HandshakeEnd)
        Failure(QStringLiteral("no answer from the broker"));
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
    if (t.contains(u'+') || t.contains(u'#') || t.contains(QChar(0))) {
        *error = QStringLiteral("The topic must not contain '+', '#' or a NUL character.");
        return std::nullopt;
    }
    return t;
}

QString DefaultMqttTopic() {
    const QString host = QSysInfo::machineHostName();
    return host.isEmpty() ? QStringLiteral("kelvox") : "kelvox/" + host;
}

QString FormatMqttTemperature(long double celsius) {
    QString text = QString::number(static_cast<double>(celsius), 'f', 1);
    if (text == QLatin1String("-0.0"))
        text = QStringLiteral("0.0");
    return text;
}

TMqttPublisher::TMqttPublisher(QObject* parent)
    : QObject(parent), FShared(std::make_shared<MqttShared>()) {
    FShared->Receiver = this;
    FHold.setSingleShot(true);
    connect(&FHold, &QTimer::timeout, this, &TMqttPublisher::Flush);
}

TMqttPublisher::~TMqttPublisher() {
    {
        std::lock_guard lock(FShared->M);
        FShared->Receiver = nullptr;
        FShared->Stop = true;
    }
    FShared->Wake();
    if (!FWorker.joinable())
        return;
    bool done;
    {
        std::unique_lock lock(FShared->M);
        done = FShared->Finished.wait_for(lock, kDestructorWait, [&] { return FShared->Done; });
    }
    // A thread stuck in a name lookup finishes on its own later; it holds
    // its share of the state and reports to nobody.
    if (done)
        FWorker.join();
    else
        FWorker.detach();
}

void TMqttPublisher::Apply(const MqttSettings& settings) {
    if (FApplied && settings == FSettings)
        return;
    FApplied = true;
    FSettings = settings;
    ++FGeneration;
    Config cfg;
    cfg.Generation = FGeneration;
    QString error;
    if (!settings.Broker.trimmed().isEmpty()) {
        const auto broker = ParseMqttBroker(settings.Broker, &error);
        const auto base = broker ? MqttBaseTopic(settings.Topic, &error) : std::nullopt;
        if (broker && base) {
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
            cfg.Discovery = settings.Discovery;
        }
    }
    SetError(error);
    if (!error.isEmpty())
        emit LogLine("ERR  MQTT: " + error);
    {
        std::lock_guard lock(FShared->M);
        FShared->Wanted = cfg;
        FShared->ConfigChanged = true;
    }
    if (cfg.On && !mosqlib::Load(&error)) {
        cfg.On = false;
        SetError(error);
        emit LogLine("ERR  MQTT: " + error);
    }
    if (!FWorker.joinable() && cfg.On) {
        FWorker = std::thread([shared = FShared] { MqttWorker(shared).Run(); });
    }
    FShared->Wake();
}

void TMqttPublisher::Reading(long double celsius) {
    if (!std::isfinite(celsius) || celsius == kNoReading) {
        ReadingLost();
        return;
    }
    FLive = true;
    FText = FormatMqttTemperature(celsius);
    Flush();
}

void TMqttPublisher::ReadingLost() {
    FLive = false;
    Flush();
}

void TMqttPublisher::Flush() {
    if (!FLive || FText == FSentText) {
        // No new value: only the availability may change, at once.
        FHold.stop();
        if (FLive != FSentLive)
            Handoff();
        return;
    }
    // A new value, and with it "online" after a loss, waits for its turn.
    if (FLastValue.isValid() && FLastValue.elapsed() < MinIntervalMs) {
        if (!FHold.isActive())
            FHold.start(int(MinIntervalMs - FLastValue.elapsed()));
        return;
    }
    FHold.stop();
    FLastValue.start();
    Handoff();
}

void TMqttPublisher::Handoff() {
    {
        std::lock_guard lock(FShared->M);
        FShared->Live = FLive;
        FShared->Text = FText.toUtf8();
    }
    FShared->Wake();
    FSentLive = FLive;
    FSentText = FText;
}

void TMqttPublisher::SetError(const QString& error) {
    if (error == FLastError)
        return;
    FLastError = error;
    emit LastErrorChanged(error);
}

void TMqttPublisher::WorkerConnected(bool connected) {
    if (connected == FConnected)
        return;
    FConnected = connected;
    emit ConnectedChanged(connected);
}

void TMqttPublisher::WorkerError(quint64 generation, const QString& error) {
    if (generation == FGeneration)
        SetError(error);
}
