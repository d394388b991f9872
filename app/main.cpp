// Program entry: locale, command line, and the choice between the headless
// program (the core alone on a QCoreApplication: no window, platform plugin
// or font is ever created) and the windows, which live in a module of their
// own that is loaded only when a display is used, so that a service does
// not map or relocate the GUI libraries at all.
#include "core/Modules.h"
#include "core/PortSearch.h"
#include "core/Program.h"
#include "core/Settings.h"
#include "platform/AppPaths.h"
#include "platform/CommandLine.h"
#include "platform/Display.h"
#include "platform/FormatSettings.h"
#include "platform/MessageBox.h"
#include "platform/Process.h"
#include "platform/SignalPipe.h"

#include <QCoreApplication>
#include <QFile>
#include <QFileInfo>
#include <clocale>
#include <csignal>
#include <cstdio>
#include <exception>

namespace {

// Whether the toolkit is going to connect to the X display named by DISPLAY
// (and abort when it cannot): no other platform was asked for.
bool willUseXDisplay() {
    const QByteArray platformName = qgetenv("QT_QPA_PLATFORM");
    return !qEnvironmentVariableIsEmpty("DISPLAY") &&
           qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY") &&
           (platformName.isEmpty() || platformName.startsWith("xcb"));
}

// Checks the application directory's settings file (CheckSettingsFile),
// prints every problem (or "kelvox.ini: OK") and starts nothing.
int runCheck(int argc, char** argv, const platform::AppPaths& paths) {
    QCoreApplication app(argc, argv);
    const QStringList problems = CheckSettingsFile(paths);
    for (const QString& problem : problems)
        std::printf("%s\n", problem.toLocal8Bit().constData());
    if (problems.isEmpty())
        std::printf("%s: OK\n",
                    QFile::encodeName(QFileInfo(paths.IniPath()).fileName()).constData());
    return problems.isEmpty() ? 0 : 1;
}

int runHeadless(int argc, char** argv, const platform::AppPaths& paths) {
    platform::SetHeadless(true);
    // Qt's own event dispatcher instead of glib's: the headless loop needs
    // nothing of glib, and its pages stay untouched. Read by every Qt event
    // loop made from here on, so it stays set.
    if (!qEnvironmentVariableIsSet("QT_NO_GLIB"))
        qputenv("QT_NO_GLIB", "1");
    GuardedApplication<QCoreApplication> app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("Kelvox"));
    return RunProgram(app, nullptr, paths);
}

int runWithWindows(int argc, char** argv, const platform::AppPaths& paths) {
    // Without its windows the program still does its job: it runs headless
    // and says why.
    const kelvox::Module module = kelvox::Module::Program(QStringLiteral(KELVOX_GUI_MODULE_NAME));
    const auto entry = module.Symbol<kelvox::GuiMainFunction>(kelvox::GuiMainSymbol);
    QString error = module.Error();
    if (module.Loaded() && !entry)
        error = module.Path() + QStringLiteral(" is not the windows module of this program");
    if (!entry) {
        std::fprintf(stderr, "kelvox: cannot load the windows (%s), running headless\n",
                     error.toLocal8Bit().constData());
        return runHeadless(argc, argv, paths);
    }
    // The module stays loaded until exit: its objects are destroyed by then,
    // but the toolkit's own exit handlers may still run code in it.
    return entry(argc, argv, paths);
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
    // The application directory, looked up once and handed to whatever
    // reads or writes its files. A check creates nothing, not even it.
    if (options.Check)
        return runCheck(argc, argv, platform::ResolveAppPaths(/*create=*/false));
    const platform::AppPaths paths = platform::ResolveAppPaths();
    if (options.Find) {
        // Beside a running instance: no lock, and its open port reads in use.
        QCoreApplication app(argc, argv);
        return RunFindCommand(options.Save, paths);
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
    return headless ? runHeadless(argc, argv, paths) : runWithWindows(argc, argv, paths);
}
