// Publishing the temperature to an MQTT broker.
//
// TMqttPublisher takes the converted readings, the end of the live reading
// and the link's state through its slots and its settings through Apply();
// it knows nothing of the windows or the serial port. It publishes, under a
// base topic T, all retained:
//   T/temperature    the value with one decimal and a '.', at most every
//                    MinIntervalMs; a new connection starts with the latest
//   T/availability   "online" while there is a live reading, "offline"
//                    otherwise (not said while a port just opened awaits
//                    its first reading)
//   T/status         "online" while the program publishes; "offline" at
//                    its end, and the connection's last will
//   T/link           the link's state as one word (core/LinkState.h)
//   T/last_reading   the time of the last converted reading, ISO 8601 UTC
//   T/alarm          the alarm state: ok, high, low or stale
//   T/backlog        readings the time-series output keeps for its receiver
// and, with discovery on, Home Assistant's configs of the device's sensors
// on <prefix>/sensor/<id>_<leaf>/config (the object id is the unique_id;
// the sensors are listed in kEntities, MqttPublisher.cpp). It listens to
// <prefix>/status and sends configs and state again a random 1-5 s after
// Home Assistant says "online" there. A config is removed (an empty
// retained message) only where this program had published one; the state
// topics are cleared when the base topic changes. New settings that keep
// the broker, the credentials and the base topic keep the connection.
//
// Threading: the object lives on the main thread and its slots, signals and
// accessors are main thread only. All network work, libmosquitto included,
// runs on a thread of the publisher's own, which sleeps until there is
// something to send, the socket has something, or the keep-alive is due;
// nothing on the main thread waits for the broker, and the destructor waits
// at most about a second. Writes to a broker that has gone away rely on
// SIGPIPE being ignored (main()).
#pragma once

#include "core/LinkState.h"

#include <QDateTime>
#include <QElapsedTimer>
#include <QObject>
#include <QString>
#include <QTimer>
#include <memory>
#include <optional>
#include <thread>

// The [MQTT] section of the settings file.
struct MqttSettings {
    // "mqtt://host[:port]" (port 1883 by default) or "mqtts://host[:port]"
    // (TLS checked against the system's certificate authorities, port 8883
    // by default); empty switches publishing off.
    QString Broker;
    QString User;     // empty: no credentials are sent
    QString Password; // never written to a log, standard output or a status
    QString Topic;    // the base topic; empty: DefaultMqttTopic()
    bool Discovery = true;
    QString DiscoveryPrefix; // empty: "homeassistant"

    bool operator==(const MqttSettings&) const = default;
};

// A Broker value taken apart.
struct MqttBroker {
    bool Tls = false;
    QString Host; // without the brackets of an IPv6 address
    int Port = 0;
};

// Parses a non-empty Broker value. On a bad value returns nothing and puts
// a sentence for the user into *error (a user name or password inside the
// value is refused, so that it cannot end up in a log line).
std::optional<MqttBroker> ParseMqttBroker(const QString& text, QString* error);

// The base topic in effect for a Topic value: the default for an empty one,
// without trailing '/'. Nothing, with *error set, for a topic that cannot be
// published to (wildcards '+' or '#', control characters, or longer than
// MQTT's 65,535 bytes with the longest leaf added).
std::optional<QString> MqttBaseTopic(const QString& topic, QString* error);
// The discovery prefix in effect ("homeassistant" for an empty one), checked
// like the topic, its longest config topic for the base topic `base`.
std::optional<QString> MqttDiscoveryPrefix(const QString& prefix, const QString& base,
                                           QString* error);
// Everything wrong with the settings' broker, topic and prefix, one
// sentence each, each led by its key name ("Topic: ..."); empty when fine.
QStringList MqttSettingsProblems(const MqttSettings& settings);

// "kelvox/<host name>", or "kelvox/<host name>/<instance>" with the
// instance name in KELVOX_INSTANCE (one of several services on a machine).
QString DefaultMqttTopic();

// The instance name in KELVOX_INSTANCE (kelvox@NAME.service), empty for a
// lone program; the MQTT topic and the time series' instance tag use it.
QString InstanceName();

// The published text of a temperature: one decimal, always '.', no "-0.0".
QString FormatMqttTemperature(long double celsius);

// What the main thread and the network thread share (MqttPublisher.cpp).
struct MqttShared;

// The publisher as the MQTT dialog's lamp tells it.
enum class MqttState { Off, Connecting, Connected, Failed };

class TMqttPublisher : public QObject {
    Q_OBJECT
public:
    // Shortest time between two new values on T/temperature.
    static constexpr int MinIntervalMs = 5000;
    // A value held back goes out with the first reading after MinIntervalMs;
    // when none comes, the hold timer sends it this much later.
    static constexpr int HoldGraceMs = 1500;

    explicit TMqttPublisher(QObject* parent = nullptr);
    // Publishes "offline" and disconnects when that is done within about a
    // second; otherwise leaves the network thread to finish on its own.
    ~TMqttPublisher() override;

    bool Connected() const { return Connected_; }
    // Of the settings applied last (never of an earlier connection).
    MqttState State() const { return State_; }
    // Why the last connection attempt failed or the settings were refused;
    // empty while all is well. Never contains the password.
    QString LastError() const { return LastError_; }
    const MqttSettings& Settings() const { return Settings_; }

public slots:
    // Starts, stops or reconfigures publishing; at start and at every reload.
    // Applying the settings in effect again changes nothing.
    void Apply(const MqttSettings& settings);
    // A converted reading taken at `when` (invalid: now): the live
    // temperature, whatever its value.
    void Reading(long double celsius, const QDateTime& when = {});
    // A failed line, silence or a closed port: no live reading any more.
    void ReadingLost();
    // The link's state, for T/link.
    void SetLinkState(LinkState state);
    // The alarm's word, for T/alarm.
    void SetAlarmState(const QString& word);
    // The time-series backlog's count, for T/backlog; none while it is off.
    void SetBacklog(std::optional<qint64> count);

signals:
    void ConnectedChanged(bool connected);
    void StateChanged(MqttState state);
    // One event log line ("OK  ..." or "ERR  ...").
    void LogLine(const QString& line);
    void LastErrorChanged(const QString& error);

private:
    friend class MqttWorker;

    // Hands what should be published now to the network thread: the live
    // state at once; a new value when MinIntervalMs have passed since the
    // last value handed over, else with the first reading after that (or,
    // when none comes, HoldGraceMs later); the time of the last reading with
    // its value, else at most every MinIntervalMs in the same way, and at
    // once when the live reading ends. Readings a second apart so never
    // wake the program for the hold.
    void Flush();
    void SetError(const QString& error);
    void UpdateState();
    void WorkerConnected(quint64 generation, bool connected);
    void WorkerError(quint64 generation, const QString& error);
    // A new connection published the latest reading `text` taken at `when`.
    void WorkerPublishedLatest(quint64 generation, const QString& text, const QString& when);

    // Shared with the network thread, which keeps it alive when it outlasts
    // the publisher.
    std::shared_ptr<MqttShared> Shared_;
    std::thread Worker_; // started by the first Apply that switches on
    MqttSettings Settings_;
    bool Applied_ = false;
    bool On_ = false; // the settings applied last publish
    bool Connected_ = false;
    MqttState State_ = MqttState::Off;
    QString LastError_;
    quint64 Generation_ = 0; // bumped by every Apply that changes something
    QString BrokerText_;     // of the settings applied last, for log lines

    bool Live_ = false;       // a live reading exists
    QString Text_;            // the latest reading's text
    QString When_;            // and its time
    bool HandedLive_ = false; // the live state handed over last
    QString Link_;            // the link's word handed over last
    QString Alarm_;           // the alarm's word handed over last
    QString Backlog_;         // the backlog's count handed over last
    QString SentText_;        // the value handed over last
    QString SentWhen_;        // the time handed over last
    QElapsedTimer LastValue_; // when a value was handed over last
    QElapsedTimer LastWhen_;  // when a time was handed over last
    QTimer Hold_;             // the fallback for a held value or time
};
