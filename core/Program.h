// The run of the program around its core, shared by the headless program
// and the windows: the one-instance lock, the core, the process signals,
// the start, the event loop and the exit code.
//
// Main thread, once per process, after the application object exists.
#pragma once

#include "platform/AppPaths.h"
#include "platform/MessageBox.h"

#include <QString>
#include <exception>

class QCoreApplication;
class QEvent;
class QObject;
class TEventLog;
class TKelvoxCore;

// What the windows add to a run; the headless program has none.
class ProgramViews {
public:
    virtual ~ProgramViews() = default;
    // Builds the windows around the core, before its settings are read.
    virtual void Build(TKelvoxCore& core) = 0;
    // The settings were read: show what is to be shown.
    virtual void Show() = 0;
    // A stop signal arrived: close the way the user's close does, quietly.
    virtual void CloseBySignal() = 0;
    // The event loop ended: the windows go, before the core.
    virtual void Teardown() = 0;
    // Another instance holds the application directory appDir: asks it to
    // show and raise its window. True when it answered; this start then
    // ends with exit code 0 and no message.
    virtual bool AskRunningInstanceToShow(const QString& /*appDir*/) { return false; }
};

// Runs the program with `views` (null: headless) on the application
// directory `paths` until it is closed; returns the exit code.
int RunProgram(QCoreApplication& app, ProgramViews* views, const platform::AppPaths& paths);

// Headless: every line of `log` also goes to standard output as it is added
// (with the journal's priority when the journal reads it).
void EchoEventLog(TEventLog& log);

// The application object (QCoreApplication headless, QApplication with
// windows) through which no exception may travel: one that leaves an event
// handler ends here and is reported like any unhandled failure (an error box
// titled "Kelvox", or a line on standard error when headless).
template <class Application> class GuardedApplication : public Application {
public:
    using Application::Application;
    bool notify(QObject* receiver, QEvent* event) override {
        try {
            return Application::notify(receiver, event);
        } catch (...) {
            platform::HandleApplicationException(std::current_exception());
            return false;
        }
    }
};
