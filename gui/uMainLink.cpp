// The main window's handlers of the serial link and the upload, kept under
// their names as the window's entry points; the work is the core's (the
// link in core/Link.h, the upload in core/Upload.h). Main thread only.
#include "core/Core.h"
#include "gui/uMain.h"

#include <QAbstractButton>

void TfMain::AfComPort1DataRecived(QObject* /*Sender*/, std::int32_t /*Count*/) {
    Core_.Link().DataReceived();
}

void TfMain::AfComPort1PortOpen(QObject* /*Sender*/) {
    Core_.Link().PortOpened();
}

void TfMain::AfComPort1PortClose(QObject* /*Sender*/) {
    Core_.Link().PortClosed();
}

void TfMain::AfComPort1LineError(QObject* /*Sender*/, std::uint32_t Errors) {
    Core_.Link().LineError(Errors);
}

void TfMain::Timer2Timer(QObject* /*Sender*/) {
    Core_.Link().OnTick();
}

// Automatic send when Sender is Timer1, manual when it is a button (the
// options dialog's "Send").
void TfMain::Timer1Timer(QObject* Sender) {
    Core_.Upload().Send(/*manual=*/qobject_cast<QAbstractButton*>(Sender) != nullptr);
}
