// Running without windows: the command line, the standard-output echo of the
// event log and the process signals that stop the program or trigger a send.
#pragma once

#include <QObject>
#include <QString>
#include <QStringList>
#include <functional>
#include <initializer_list>

class QSocketNotifier;

namespace platform {

struct CommandLine {
    bool Headless = false;
    bool Help = false;
    bool Version = false;
    bool Check = false; // check the settings file and exit
    bool Find = false;  // listen on the serial ports for the thermometer and exit
    bool Save = false;  // with Find: write the port found to the settings file
    QString Error;      // non-empty: the arguments were not understood
};

// Parses the arguments after the program name.
CommandLine ParseCommandLine(const QStringList& arguments);

// The text printed by --help.
QString UsageText();

// True when an X11 or Wayland display is named in the environment.
bool HasDisplay();

// The sd-daemon priority that starts an echoed event log line when standard
// output is the journal (JOURNAL_STREAM names its device and inode): "<3>"
// (error) when the line's text starts with "ERR", "<6>" (information)
// otherwise. Empty when standard output is anything else. Any thread.
QString JournalPrefix(const QString& text);

// "<3>" (error) to start a line on standard error when standard error is
// the journal, else empty. Any thread.
QString ErrorPrefix();

// Writes one line (plus '\n') to standard output as soon as it can, so that
// a reader on a pipe sees every event log line as it happens. Never blocks:
// while nobody reads, lines are dropped and later counted. Main thread.
void EchoToStdout(const QString& line);
// Waits a little (at most a second) for echoed lines still on their way.
void FlushEcho();
// Makes the line that makeLine returns the first one echoed: it is made and
// written just before the first EchoToStdout line, or at EchoHeaderNow()
// if that comes first, and only once. Lines echoed while the settings load
// (an automatic connect) then follow the header instead of preceding it.
// Main thread.
void SetEchoHeader(std::function<QString()> makeLine);
void EchoHeaderNow();

// Signals are turned into ordinary events: the handler only writes the
// signal number into a pipe, and a socket notifier on the main thread reads
// it. InstallSignalPipe() may run before the application object exists (so
// that a signal arriving during start-up waits instead of killing the
// process); SignalRelay then delivers what arrives, once the event loop runs.
// A waiting signal is delivered once however often it came, and waiting
// signals are delivered in the order they were installed (list the stop
// signals first and they are served before anything else). Install once per
// process.
bool InstallSignalPipe(std::initializer_list<int> signalNumbers);

class SignalRelay : public QObject {
    Q_OBJECT
public:
    explicit SignalRelay(QObject* parent = nullptr);
    ~SignalRelay() override;
    // Called on the main thread with the signal number.
    std::function<void(int)> OnSignal;

private:
    void Drain();
    QSocketNotifier* Notifier_ = nullptr;
};

} // namespace platform
