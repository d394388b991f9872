// Program entry: locale, command line, and the choice between the headless
// program (the core alone on a QCoreApplication: no window, platform plugin
// or font is ever created) and the windows, which live in a module of their
// own that is loaded only when a display is used, so that a service does
// not map or relocate the GUI libraries at all.
#include "app/GuiModule.h"
#include "monitor/Program.h"
#include "platform/FormatSettings.h"
#include "platform/Headless.h"
#include "platform/MessageBox.h"
#include "platform/Process.h"

#include <QCoreApplication>
#include <QFile>
#include <clocale>
#include <csignal>
#include <cstdio>
#include <dlfcn.h>
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

int runHeadless(int argc, char** argv) {
    platform::SetHeadless(true);
    GuardedApplication<QCoreApplication> app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("Kelvox"));
    return RunProgram(app, nullptr);
}

int runWithWindows(int argc, char** argv) {
    const QString path = kelvox::GuiModulePath();
    void* module = ::dlopen(QFile::encodeName(path).constData(), RTLD_NOW | RTLD_LOCAL);
    if (!module) {
        std::fprintf(stderr, "kelvox: cannot load the windows (%s): %s\n",
                     QFile::encodeName(path).constData(), ::dlerror());
        return 1;
    }
    auto* entry = reinterpret_cast<kelvox::GuiMainFunction>(::dlsym(module, kelvox::GuiMainSymbol));
    if (!entry) {
        std::fprintf(stderr, "kelvox: %s is not the windows module of this program\n",
                     QFile::encodeName(path).constData());
        return 1;
    }
    // The module stays loaded until exit: its objects are destroyed by then,
    // but the toolkit's own exit handlers may still run code in it.
    return entry(argc, argv);
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
    return headless ? runHeadless(argc, argv) : runWithWindows(argc, argv);
}
