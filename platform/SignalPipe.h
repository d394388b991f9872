// Process signals turned into ordinary events: the handler only writes the
// signal number into a pipe, and a socket notifier on the main thread reads
// it. InstallSignalPipe() may run before the application object exists (so
// that a signal arriving during start-up waits instead of killing the
// process); SignalRelay then delivers what arrives, once the event loop runs.
// A waiting signal is delivered once however often it came, and waiting
// signals are delivered in the order they were installed (list the stop
// signals first and they are served before anything else).
#pragma once

#include <QObject>
#include <functional>
#include <initializer_list>

class QSocketNotifier;

namespace platform {

// Install once per process; main thread.
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
