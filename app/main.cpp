// Program entry: locale, command line, the two windows, settings, event loop.
#include "app/uMain.h"
#include "platform/AppPaths.h"
#include "platform/FileStore.h"
#include "platform/FormatSettings.h"
#include "platform/Headless.h"
#include "platform/MessageBox.h"
#include "platform/PortMap.h"
#include "platform/Process.h"
#include "serial/AfComPort.h"
#include "settings/uSettings.h"

#include <QApplication>
#include <QFile>
#include <QLineEdit>
#include <QPushButton>
#include <QUrl>
#include <clocale>
#include <csignal>
#include <cstdio>
#include <exception>

namespace {

// Exceptions must not travel through Qt's event loop; one that leaves an
// event handler ends here and is reported like any unhandled failure (an
// error box titled "Kelvox", or a line on standard error when headless).
class KelvoxApplication : public QApplication {
public:
    using QApplication::QApplication;
    bool notify(QObject* receiver, QEvent* event) override {
        try {
            return QApplication::notify(receiver, event);
        } catch (...) {
            platform::HandleApplicationException(std::current_exception());
            return false;
        }
    }
};

// The first line a service's journal shows: where the files are, which port
// and which server. A password in the URL stays out of the log.
QString headlessStartLine() {
    const int com = fMain->AfComPort1->ComNumber();
    const std::string device = platform::ComPortPath(com);
    QString url = fSettings->edTarget->text();
    if (const QUrl parsed(url); !parsed.password().isEmpty())
        url = parsed.toDisplayString(QUrl::RemovePassword);
    return QStringLiteral("kelvox %1 headless: application directory %2, port COM%3 (%4), "
                          "target URL %5")
        .arg(QStringLiteral(KELVOX_VERSION), platform::AppDir(), QString::number(com),
             device.empty() ? QStringLiteral("no such port") : QString::fromStdString(device),
             url.isEmpty() ? QStringLiteral("(none)") : url);
}

// Whether the toolkit is going to connect to the X display named by DISPLAY
// (and abort when it cannot): no other platform was asked for.
bool willUseXDisplay() {
    const QByteArray platformName = qgetenv("QT_QPA_PLATFORM");
    return !qEnvironmentVariableIsEmpty("DISPLAY") &&
           qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY") &&
           (platformName.isEmpty() || platformName.startsWith("xcb"));
}

// Only one instance may work on an application directory: a second one
// would write the same logs and settings. False when another instance has
// it; the user has been told.
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

int main(int argc, char** argv) {
    // First of all: a pipe or file opened below must not land on a closed
    // standard descriptor and be taken for standard I/O.
    platform::ReopenClosedStandardDescriptors();
    std::setlocale(LC_ALL, "");
    platform::FormatSettings::SetCurrent(platform::FormatSettings::FromProcessLocale());

    QStringList arguments;
    for (int i = 1; i < argc; ++i)
        arguments << QString::fromLocal8Bit(argv[i]);
    const platform::CommandLine options = platform::ParseCommandLine(arguments);
    if (!options.Error.isEmpty()) {
        std::fprintf(stderr, "kelvox: %s\nTry 'kelvox --help' for more information.\n",
                     options.Error.toLocal8Bit().constData());
        return 2;
    }
    if (options.Help) {
        std::fputs(platform::UsageText().toLocal8Bit().constData(), stdout);
        return 0;
    }
    if (options.Version) {
        std::printf("kelvox %s\n", KELVOX_VERSION);
        return 0;
    }

    bool headless = options.Headless;
    if (!headless && !platform::HasDisplay()) {
        headless = true;
        std::fputs("kelvox: no display (DISPLAY and WAYLAND_DISPLAY are unset), running headless\n",
                   stderr);
    } else if (!headless && willUseXDisplay() && !platform::XDisplayReachable()) {
        headless = true;
        std::fprintf(stderr, "kelvox: the display \"%s\" cannot be reached, running headless\n",
                     qgetenv("DISPLAY").constData());
    }
    // A reader of the event log echo that goes away must not kill us.
    std::signal(SIGPIPE, SIG_IGN);
    // From here on these signals wait in a pipe until the event loop serves
    // them, even if they arrive while the windows are still being built.
    // The stop signals come first: served before a send that waits with them.
    platform::InstallSignalPipe({SIGINT, SIGTERM, SIGHUP, SIGUSR1});
    if (headless) {
        qputenv("QT_QPA_PLATFORM", "offscreen");
        platform::SetHeadless(true);
    }

    KelvoxApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Kelvox"));
    // Hidden in the tray is not closed: only closing fMain ends the program.
    QApplication::setQuitOnLastWindowClosed(false);

    if (!lockApplicationDirectory(headless))
        return 1;
    // Left behind by a save that was killed half-way; this instance owns the
    // directory now, so no other save can be using it.
    platform::RemoveStaleTemporary(platform::IniPath());

    int rc = 0;
    {
        fMain = new TfMain;
        fSettings = new TfSettings;
        QObject::connect(fMain, &TfMain::Closed, &app, &QCoreApplication::quit);

        platform::SignalRelay relay;
        relay.OnSignal = [](int signo) {
            if (signo == SIGUSR1)
                fSettings->bSendClick(fSettings->bSend);
            else
                fMain->close();
        };

        // The start-up line leads the journal, even before the lines of an
        // automatic connect made while the settings load.
        if (headless)
            platform::SetEchoHeader(
                [] { return platform::JournalPrefix({}) + headlessStartLine(); });
        bool started = true;
        try {
            LoadSettings();
        } catch (...) {
            platform::HandleApplicationException(std::current_exception());
            started = false;
            rc = 1;
        }
        if (started) {
            if (headless)
                platform::EchoHeaderNow();
            else
                fMain->show();
            rc = app.exec();
            // A service manager must see that something was not saved.
            if (rc == 0 && fMain->SaveFailedAtClose())
                rc = 1;
        }
    }
    delete fSettings;
    fSettings = nullptr;
    delete fMain;
    fMain = nullptr;
    platform::FlushEcho();
    return rc;
}
