#include "platform/CommandLine.h"

namespace platform {

CommandLine ParseCommandLine(const QStringList& arguments) {
    CommandLine result;
    for (const QString& arg : arguments) {
        if (arg == QStringLiteral("--headless"))
            result.Headless = true;
        else if (arg == QStringLiteral("--help") || arg == QStringLiteral("-h"))
            result.Help = true;
        else if (arg == QStringLiteral("--version"))
            result.Version = true;
        else if (arg == QStringLiteral("--check"))
            result.Check = true;
        else if (arg == QStringLiteral("--find"))
            result.Find = true;
        else if (arg == QStringLiteral("--save"))
            result.Save = true;
        else if (arg.startsWith(u'-'))
            return CommandLine{.Error = QStringLiteral("unknown option '%1'").arg(arg)};
        else
            return CommandLine{.Error = QStringLiteral("unexpected argument '%1'").arg(arg)};
    }
    if (result.Save && !result.Find)
        return CommandLine{.Error = QStringLiteral("--save goes with --find")};
    return result;
}

QString UsageText() {
    return QStringLiteral(
        "Usage: kelvox [--headless] [--check] [--find [--save]] [--help] [--version]\n"
        "Shows the readings of a serial thermometer and sends them to a web server.\n"
        "\n"
        "  --headless  run without windows or tray icon; event log lines go to\n"
        "              standard output, messages to standard error; SIGINT and\n"
        "              SIGTERM save and exit, SIGHUP reads kelvox.ini again,\n"
        "              SIGUSR1 sends the temperature now\n"
        "  --check     check the settings file, print every problem (or OK), exit\n"
        "  --find      listen 3 s on every free serial port (sending nothing), print\n"
        "              what each one sent, exit 0 when one thermometer was found,\n"
        "              1 when none, 2 when several\n"
        "  --save      with --find: write the thermometer's port to kelvox.ini\n"
        "  --help      show this text and exit\n"
        "  --version   show the version and exit\n"
        "\n"
        "Without DISPLAY and WAYLAND_DISPLAY, or when the display cannot be reached,\n"
        "the program runs headless by itself.\n"
        "Environment: KELVOX_HOME (directory for settings and logs), KELVOX_PORT_DIR\n"
        "(directory of COM<n> entries naming the serial devices), KELVOX_MINUTE_MS\n"
        "(length of one period minute in milliseconds, default 60000).\n");
}

} // namespace platform
