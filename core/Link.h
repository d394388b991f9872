// The serial link to the thermometer as one state machine: opening and
// closing the port (by the user, the automatic connect, a line error, the
// silence watchdog or the reconnect retries), the received text handed to
// the reading parser, the current temperature, and the blink phase of the
// tray icon. The windows show it through the signals; the headless program
// runs it alone. Nothing here ticks while nothing happens: the silence
// watchdog is one deadline moved by each reading, and the blink tick runs
// only while an icon is shown and blinks.
//
// Main thread only. The port's events are handed over by its event thread,
// one at a time and in order; closing the port from inside one of them is
// prompt (the component refuses a hand-off still waiting instead of letting
// it run into its time limit).
#pragma once

#include "core/LinkState.h"
#include "core/ReadingParser.h"
#include "platform/MessageBox.h"

#include <QDateTime>
#include <QObject>
#include <QString>
#include <QTimer>
#include <cstdint>
#include <functional>
#include <string>

class TAfComPort;
class TEventLog;
class TSettingsModel;

class TLink : public QObject {
    Q_OBJECT
public:
    // Milliseconds between two tries to reopen a lost port.
    static constexpr int ReconnectMs = 5000;
    // This long without a converted reading on an open port: the device is
    // taken to be silent.
    static constexpr int SilenceMs = 30000;
    // A reading that is arriving right then gets this much longer to reach
    // its CR; a line that never ends cannot hold the watchdog off.
    static constexpr int PendingGraceMs = 1000;
    // The time between two pictures of the blinking icon.
    static constexpr int BlinkMs = 500;

    // Who asks for the connect toggle: the user's own press ends the
    // reconnect retries and may be asked to choose a port; the program's
    // calls (automatic connect, line error, watchdog) reconnect by the
    // port's number when "Reconnect automatically" is on.
    enum class Caller { User, Program };

    TLink(TSettingsModel& settings, TEventLog& log, std::function<QDateTime()> clock,
          QObject* parent = nullptr);
    ~TLink() override;

    // The thermometer's port (9600 Bd); owned. Destroying the link closes an
    // open port without the closed line.
    TAfComPort* Port() const { return Port_; }
    // The blink tick: runs only while the icon blinks and an icon is shown.
    QTimer* Tick() { return &Tick_; }
    // The silence limit in ms (SilenceMs unless set); taken by the next
    // arming of the deadline.
    void SetSilenceLimit(int ms) { SilenceLimitMs_ = ms; }
    // Whether a window shows the icon's pictures (IconFrame); without one the
    // blink tick never runs.
    void SetIconShown(bool shown);
    QTimer* ReconnectTimer() { return &Reconnect_; }

    // The current temperature: the last reading converted since the port
    // was opened; NoReading while there is none, after a failed line and
    // while the port is closed.
    long double Temperature() const { return Temperature_; }
    // 0 steady icon, 1/2 the two blink frames. The link's own errors start
    // the blink tick; an open puts it back to 0, which stops the tick at
    // its next turn.
    int BlinkPhase() const { return BlinkPhase_; }
    // Received bytes not yet judged: the text after the last CR.
    const std::string& ReceivedText() const { return ReceivedText_; }
    // The thermometer's own value behind Temperature (before the
    // calibration); NoReading when Temperature is.
    long double RawTemperature() const { return RawTemperature_; }
    // Each reading becomes gain × raw + offset as it is converted, before
    // anything else sees it (window, uploads, logs, history, MQTT, alarms).
    // Taken by the next reading.
    void SetCalibration(long double gain, long double offset) {
        Gain_ = gain;
        Offset_ = offset;
    }
    // Whether Temperature is a live reading: converted since the port was
    // opened, with no failed line and no silence since.
    bool Live() const { return Live_; }
    // Why there is a live reading or not, as one word (LinkStateWord).
    LinkState State() const { return State_; }
    // When the last reading was converted (invalid: none in this run).
    QDateTime LastReading() const { return LastReading_; }
    // "-" or the last converted reading with its unit, as the window shows it.
    QString Display() const { return Display_; }
    bool Open() const;
    int ComNumber() const;

    // The connect toggle: asks the user to choose a port (a message) when
    // none is chosen and nobody but the user could act; otherwise closes an
    // open port and opens a closed one. While that message is on screen a
    // further call does nothing.
    void Toggle(Caller who);
    // Whether a port is chosen: the port chooser's selection with windows;
    // without them, whether the port's number named a present device when
    // it was last looked at (at start and at each retry).
    bool PortChosen() const { return PortChosen_; }
    void SetPortChosen(bool chosen) { PortChosen_ = chosen; }
    void LookAtPort();
    bool WarningShowing() const { return WarningShowing_; }
    // Shows the toggle's "choose a port" warning; empty: ShowMessage as it
    // is (standard error without windows). The windows set one that places
    // the box over the window holding the toggle.
    void SetWarningPresenter(platform::MessageHook presenter) {
        WarningPresenter_ = std::move(presenter);
    }
    // Opens the closed port as the program's own toggle does (a failure is
    // logged and, with "Reconnect automatically", retried).
    void Reopen();
    // One try to reopen a lost port (every ReconnectMs while retrying).
    void Retry();
    // Ends the retries.
    void StopReconnect();
    // Takes the port number (the port must be closed or is closed first by
    // the component).
    void SetComNumber(int number);

    // Appends received text and judges every complete line in it.
    void Feed(const std::string& text);
    // True while ReceivedText holds the start of a reading still waiting
    // for its CR.
    bool ReadingPending() const;
    // One blink tick: the next picture of the icon.
    void OnTick();
    // The silence deadline passed: a port silent for the limit is closed
    // through the connect toggle, and the icon blinks.
    void OnSilence();

    // The port's handlers: the port calls them (set up in the constructor)
    // inside the delivery of its events.
    void DataReceived();
    void PortOpened();
    void PortClosed();
    // errors: the CE_* flags of the error (CE_IOE: the device hung up).
    void LineError(std::uint32_t errors = 0);

signals:
    // A reading was converted (one signal per reading, in stream order).
    void Reading(long double value, const QDateTime& when);
    // The last line of an arrival gave no reading.
    void ReadingLost();
    // The port was opened or closed.
    void LinkChanged(bool open);
    // Live() changed.
    void LiveChanged(bool live);
    // State() changed.
    void StateChanged(LinkState state);
    // What the window shows as the temperature changed.
    void DisplayChanged(const QString& text);
    // A tick shows this picture of the tray icon (0 steady, 1/2 blinking).
    void IconFrame(int index);
    // What a status shows may have changed: the temperature, the link, the
    // retries.
    void StatusChanged();
    // The retries are about to try the port again: the device may have come
    // or gone since the port list was made.
    void RetryStarting();

private:
    bool OpenPort(bool retry);
    void PortLost(bool failureLogged);
    // Sets the blink phase to blink and starts the tick where an icon shows it.
    void Blink();
    // Starts the silence deadline afresh (the port is open).
    void ArmSilence();
    void SetLive(bool live);
    void SetState(LinkState state);

    TSettingsModel& Settings_;
    TEventLog& Log_;
    std::function<QDateTime()> Clock_;
    TAfComPort* Port_ = nullptr;
    QTimer Tick_;
    QTimer Silence_;
    QTimer Reconnect_;
    TReadingParser Parser_;
    QString Display_ = QStringLiteral("-");
    bool WarningShowing_ = false;
    platform::MessageHook WarningPresenter_;
    bool PortChosen_ = false;
    bool ReconnectFailureLogged_ = false;
    bool IconShown_ = false;
    int SilenceLimitMs_ = SilenceMs;
    bool SilenceGraced_ = false; // the deadline now running is the grace
    int ShownFrame_ = 0;         // the picture the last tick showed
    bool Live_ = false;
    LinkState State_ = LinkState::Closed;
    // What the next close of the port means (the user's close unless the
    // program closes it for a reason).
    LinkState CloseReason_ = LinkState::Closed;
    QDateTime LastReading_;
    long double Temperature_ = NoReading;
    long double RawTemperature_ = NoReading;
    long double Gain_ = 1;
    long double Offset_ = 0;
    int BlinkPhase_ = 0;
    std::string ReceivedText_;
};
