// The upload of the current temperature and the daily temperature log.
//
// Main thread only. The request is synchronous: the window does not respond
// until the server has answered or the fetch's time-outs (10 s to connect,
// 20 s in all) have struck.
#include "app/TemperatureLog.h"
#include "app/uMain.h"
#include "net/uHTML.h"
#include "platform/FormatSettings.h"
#include "settings/uSettings.h"

#include <QAbstractButton>
#include <QCheckBox>
#include <QLineEdit>

#include <stdexcept>

// Automatic send when Sender is Timer1, manual when it is a button (the
// options dialog's "Send"). A send that did not reach the server with status
// 200 or 302 is logged as an error either way; a successful one is logged
// only when manual. The temperature log gets its line whatever the outcome.
void TfMain::Timer1Timer(QObject* Sender) {
    const bool manual = qobject_cast<QAbstractButton*>(Sender) != nullptr;
    bool sent = false;
    try {
        if (!fSettings)
            throw std::logic_error("the options dialog does not exist");
        // The URL as typed in the dialog right now, the temperature text
        // appended unescaped; the fetch encodes what may not stand in a URL
        // only on the wire.
        const std::string url =
            fSettings->edTarget->text().toStdString() +
            platform::FormatSettings::Current().FormatTemperature(Temperature).toStdString();
        sent = FetchUrl(url).Ok;
    } catch (...) {
        sent = false;
    }
    if (!sent)
        AddLog(QStringLiteral("ERR  Information cannot nepodařilo odeslat!"));
    else if (manual)
        AddLog(QStringLiteral("OK  Information successfully send"));

    if (!fSettings || !fSettings->chbGeneTempLOG->isChecked())
        return;
    AppendToTemperatureLog(Temperature);
}
