// The upload of the current temperature and the daily temperature log.
//
// Main thread only. The request is synchronous: the window does not respond
// until the server has answered or the fetch's time-outs (10 s to connect,
// 20 s in all) have struck.
#include "app/TemperatureLog.h"
#include "app/uMain.h"
#include "monitor/Monitor.h"
#include "net/uHTML.h"
#include "platform/FormatSettings.h"

#include <QAbstractButton>

// Automatic send when Sender is Timer1, manual when it is a button (the
// options dialog's "Send"). A send that did not reach the server with status
// 200 or 302 is logged as an error either way, with its cause; a successful
// one is logged only when manual. The temperature log gets its line whatever
// the outcome. Without a live reading the no-reading value is sent, so the
// server keeps its rhythm and can tell the gap from a temperature.
void TfMain::Timer1Timer(QObject* Sender) {
    if (CloseStarted_)
        return;
    const bool manual = qobject_cast<QAbstractButton*>(Sender) != nullptr;
    const long double temperature = Monitor->Temperature;
    const QString target = Monitor->TargetUrl ? Monitor->TargetUrl() : QString();
    QString cause;
    if (target.trimmed().isEmpty()) {
        // "http://" alone would ask port 80 of this machine.
        cause = QStringLiteral("no target URL");
    } else {
        // The URL as typed in the dialog right now, the temperature text
        // appended unescaped; the fetch encodes what may not stand in a URL
        // only on the wire.
        const std::string url =
            target.toStdString() +
            platform::FormatSettings::Current().FormatTemperature(temperature).toStdString();
        const FetchResult result = FetchUrl(url);
        if (!result.Ok)
            cause = QString::fromStdString(result.Error);
    }
    if (!cause.isEmpty())
        AddLog(QStringLiteral("ERR  Information cannot nepodařilo odeslat! (%1)").arg(cause));
    else if (manual)
        AddLog(QStringLiteral("OK  Information successfully send"));

    if (Monitor->HasTemperatureLog())
        AppendToTemperatureLog(temperature);
}
