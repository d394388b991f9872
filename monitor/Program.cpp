#include "monitor/Program.h"

#include "monitor/Core.h"
#include "platform/AppPaths.h"
#include "platform/FileStore.h"
#include "platform/Headless.h"
#include "platform/MessageBox.h"
#include "platform/PortMap.h"
#include "platform/Process.h"

#include <QCoreApplication>
#include <QFile>
#include <QUrl>
#include <csignal>
#include <cstdio>
#include <memory>

namespace {

// The first line a service's journal shows: where the files are, which port
// and which server. A password in the URL stays out of the log.
QString headlessStartLine(TKelvoxCore& core) {
    const int com = core.Link().ComNumber();
    const std::string device = platform::ComPortPath(com);
    QString url = core.Settings().Text(Setting::TargetURL);
    if (const QUrl parsed(url); !parsed.password().isEmpty())
        url = parsed.toDisplayString(QUrl::RemovePassword);
    return QStringLiteral("kelvox %1 headless: application directory %2, port COM%3 (%4), "
                          "target URL %5")
        .arg(QStringLiteral(KELVOX_VERSION), platform::AppDir(), QString::number(com),
             device.empty() ? QStringLiteral("no such port") : QString::fromStdString(device),
             url.isEmpty() ? QStringLiteral("(none)") : url);
}

// Only one instance may work on an application directory: a second one
// would write the same logs and settings. False when another instance has
// it or the lock cannot be taken; the user has been told.
bool lockApplicationDirectory(bool headless) {
    const QString dir = platform::AppDir();
    QString error;
    switch (platform::LockApplicationDirectory(dir, &error)) {
    case platform::InstanceLock::Held:
        return true;
    case platform::InstanceLock::Busy:
        if (headless) {
            std::fprintf(stderr, "kelvox: Kelvox is already running (application directory %s)\n",
                         QFile::encodeName(dir).constData());
        } else {
            platform::MessageRequest box;
            box.Text = QStringLiteral("Kelvox is already running");
            box.Caption = platform::ApplicationTitle();
            box.Icon = platform::MsgIcon::Warning;
            platform::ShowMessage(box);
        }
        return false;
    case platform::InstanceLock::Failed:
        // Nothing can be saved there either; the user hears of it at exit.
        std::fprintf(stderr, "kelvox: cannot lock the application directory %s: %s\n",
                     QFile::encodeName(dir).constData(), error.toLocal8Bit().constData());
        return true;
    }
    return true;
}

} // namespace

void EchoEventLog(TEventLog& log) {
    QObject::connect(&log, &TEventLog::LineAdded, &log,
                     [](const QString& line, const QString& text) {
                         platform::EchoToStdout(platform::JournalPrefix(text) + line);
                     });
}

int RunProgram(QCoreApplication& app, ProgramViews* views) {
    const bool headless = views == nullptr;
    if (!lockApplicationDirectory(headless))
        return 1;
    // Left behind by a save that was killed half-way; this instance owns the
    // directory now, so no other save can be using it.
    platform::RemoveStaleTemporary(platform::IniPath());

    int rc = 0;
    auto core = std::make_unique<TKelvoxCore>();
    QObject::connect(core.get(), &TKelvoxCore::Closed, &app, &QCoreApplication::quit);
    if (headless) {
        EchoEventLog(core->Log());
        // The start-up line leads the journal, even before the lines of an
        // automatic connect made while the settings load.
        TKelvoxCore* c = core.get();
        platform::SetEchoHeader(
            [c] { return platform::JournalPrefix({}) + headlessStartLine(*c); });
    } else {
        views->Build(*core);
    }

    platform::SignalRelay relay;
    relay.OnSignal = [&core, views](int signo) {
        if (signo == SIGUSR1)
            core->Upload().Send(/*manual=*/true);
        else if (views)
            views->CloseBySignal();
        else
            core->Close(/*quiet=*/true);
    };

    bool started = true;
    try {
        core->Start();
    } catch (...) {
        platform::HandleApplicationException(std::current_exception());
        started = false;
        rc = 1;
    }
    if (started) {
        if (headless)
            platform::EchoHeaderNow();
        else
            views->Show();
        rc = app.exec();
        // A service manager must see that something was not saved.
        if (rc == 0 && core->SaveFailedAtClose())
            rc = 1;
    }
    if (views)
        views->Teardown();
    core.reset();
    platform::FlushEcho();
    return rc;
}
