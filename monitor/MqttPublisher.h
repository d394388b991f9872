// Publishing the temperature to an MQTT broker.
//
// TMqttPublisher takes the converted readings and the loss of the live
// reading through its slots and its settings through Apply(); it knows
// nothing of the windows or the serial port. It publishes, under a base
// topic T:
//   T/temperature    the value with one decimal and a '.', retained
//   T/availability   "online" while there is a live reading, "offline"
//                    otherwise, retained; also the connection's last will
// and, with discovery on, a retained sensor description on
// homeassistant/sensor/<id>/config (removed again when discovery is off).
//
// Threading: the object lives on the main thread and its slots, signals and
// accessors are main thread only. All network work, libmosquitto included,
// runs on a thread of the publisher's own; nothing on the main thread waits
// for the broker, and the destructor waits at most about a second. Writes
// to a broker that has gone away rely on SIGPIPE being ignored (main()).
#pragma once

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
// published to (wildcards '+' or '#', a NUL character).
std::optional<QString> MqttBaseTopic(const QString& topic, QString* error);

// "kelvox/<host name>".
QString DefaultMqttTopic();

// The published text of a temperature: one decimal, always '.', no "-0.0".
QString FormatMqttTemperature(long double celsius);

// What the main thread and the network thread share (MqttPublisher.cpp).
struct MqttShared;

class TMqttPublisher : public QObject {
    Q_OBJECT
public:
    // Shortest time between two new values on T/temperature.
    static constexpr int MinIntervalMs = 5000;

    explicit TMqttPublisher(QObject* parent = nullptr);
    // Publishes "offline" and disconnects when that is done within about a
    // second; otherwise leaves the network thread to finish on its own.
    ~TMqttPublisher() override;

    bool Connected() const { return FConnected; }
    // Why the last connection attempt failed or the settings were refused;
    // empty while all is well. Never contains the password.
    QString LastError() const { return FLastError; }
    const MqttSettings& Settings() const { return FSettings; }

public slots:
    // Starts, stops or reconfigures publishing; at start and at every reload.
    // Applying the settings in effect again changes nothing.
    void Apply(const MqttSettings& settings);
    // A converted reading: the live temperature.
    void Reading(long double celsius);
    // A failed line or a closed port: there is no live reading any more.
    void ReadingLost();

signals:
    void ConnectedChanged(bool connected);
    // One event log line ("OK  ..." or "ERR  ...").
    void LogLine(const QString& line);
    void LastErrorChanged(const QString& error);

private:
    friend class MqttWorker;

    // Hands what should be published now to the network thread, keeping new
    // values at least MinIntervalMs apart (the latest value waits).
    void Flush();
    void Handoff();
    void SetError(const QString& error);
    void WorkerConnected(bool connected);
    void WorkerError(quint64 generation, const QString& error);

    // Shared with the network thread, which keeps it alive when it outlasts
    // the publisher.
    std::shared_ptr<MqttShared> FShared;
    std::thread FWorker; // started by the first Apply that switches on
    MqttSettings FSettings;
    bool FApplied = false;
    bool FConnected = false;
    QString FLastError;
    quint64 FGeneration = 0; // bumped by every Apply that changes something

    bool FLive = false; // a live reading exists
    QString FText;      // its text
    bool FSentLive = false;
    QString FSentText;
    QElapsedTimer FLastValue; // when the last new value was handed over
    QTimer FHold;             // ends the wait of a held value
};
