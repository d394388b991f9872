// Program entry: locale, command line, the two windows, settings, event loop.
#include "app/uMain.h"
#include "platform/AppPaths.h"
#include "platform/FormatSettings.h"
#include "platform/Headless.h"
#include "platform/MessageBox.h"
#include "platform/PortMap.h"
#include "serial/AfComPort.h"
#include "settings/uSettings.h"

#include <QApplication>
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

} // namespace

int main(int argc, char** argv) {
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
    }
    // A reader of the event log echo that goes away must not kill us.
    std::signal(SIGPIPE, SIG_IGN);
    // From here on these signals wait in a pipe until the event loop serves
    // them, even if they arrive while the windows are still being built.
    platform::InstallSignalPipe({SIGINT, SIGTERM, SIGHUP, SIGUSR1});
    if (headless) {
        qputenv("QT_QPA_PLATFORM", "offscreen");
        platform::SetHeadless(true);
    }

    KelvoxApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Kelvox"));
    // Hidden in the tray is not closed: only closing fMain ends the program.
    QApplication::setQuitOnLastWindowClosed(false);

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
                platform::EchoToStdout(platform::JournalPrefix({}) + headlessStartLine());
            else
                fMain->show();
            rc = app.exec();
        }
    }
    delete fSettings;
    fSettings = nullptr;
    delete fMain;
    fMain = nullptr;
    return rc;
}
