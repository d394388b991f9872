// The monitor state that the main window and the options dialog share while
// the program runs: the current temperature, the silence count, the blink
// phase, the timers and the serial port both work on, and the few things one
// window asks of the other. Each window fills in what it offers and reads
// the rest from here, so neither needs to know the other's class.
//
// One instance, `Monitor`, created with the main window and kept until exit.
// Main thread only.
#pragma once

#include <QDateTime>
#include <QObject>
#include <QString>
#include <cstdint>
#include <functional>

class QTimer;
class QWidget;
class TAfComPort;

class TMonitor : public QObject {
    Q_OBJECT
public:
    // The program's value for "no reading": uploaded after a failed line and
    // whenever there is no live reading.
    static constexpr long double NoReading = -100.0L;
    // Milliseconds between two tries to reopen a lost port.
    static constexpr int ReconnectMs = 5000;

    explicit TMonitor(QObject* parent = nullptr);
    ~TMonitor() override;

    // The current temperature: the last reading converted since the port was
    // opened, NoReading while there is none, after a failed line and while
    // the port is closed.
    long double Temperature = NoReading;
    int BlinkPhase = 0;   // 0 steady icon, 1/2 the two blink frames
    int SilenceCount = 0; // 500 ms ticks since the last converted reading

    // Components of the main window that the dialog works on (not owned).
    QWidget* MainWindow = nullptr;
    TAfComPort* ComPort = nullptr;
    QTimer* Timer1 = nullptr; // the upload period
    QTimer* Timer2 = nullptr; // the 500 ms tick of the watchdog and the icon
    // Every ReconnectMs while a lost port is being reopened (owned).
    QTimer* ReconnectTimer = nullptr;

    // Offered by the main window.
    std::function<void(const QString&)> AddLog; // one event log line
    std::function<void(QObject* Sender)> Send;  // the upload (Timer1Timer)
    // Offered by the options dialog.
    std::function<void()> ShowOptions;        // modal
    std::function<void()> SaveSettings;       // the save routine
    std::function<void()> ToggleLink;         // the connect toggle
    std::function<bool()> LinkWarningShowing; // its warning is on screen
    std::function<QString()> TargetUrl;       // as typed right now
    std::function<bool()> TemperatureLogOn;
    std::function<bool()> AutoReconnectOn;

    void Log(const QString& text);
    bool HasTemperatureLog() const { return TemperatureLogOn && TemperatureLogOn(); }

    // Link events, called by the port's handlers.
    // The port is open: nothing converted yet, silence counted from now,
    // any reopening ends.
    void LinkOpened();
    // The port is closed: no live reading any more.
    void LinkClosed();

    // Readings, called by the parser's caller. A converted reading becomes
    // the current temperature and restarts the silence count.
    void ReadingConverted(long double value, const QDateTime& when);
    void ReadingFailed() {
        Temperature = NoReading;
        emit ReadingLost();
    }

    // Reopening a port that was lost (not closed by the user): starts the
    // retries when AutoReconnectOn says so. failureLogged: the failure that
    // started them has logged its line already.
    void PortLost(bool failureLogged);
    void StopReconnect();
    // Whether the current round of retries has logged its failed open.
    bool ReconnectFailureLogged = false;

signals:
    // A reading was converted (one signal per reading, in stream order).
    void Reading(long double value, const QDateTime& when);
    // The last line of an arrival gave no reading.
    void ReadingLost();
    // The port was opened or closed.
    void LinkChanged(bool open);
};

extern TMonitor* Monitor;
