// The main window's handlers of the serial link and the upload, kept under
// their names as the window's entry points; the work is the core's (the
// link in core/Link.h, the upload in core/Upload.h). Main thread only.
#include "core/Core.h"
#include "gui/uMain.h"

#include <QAbstractButton>

void TfMain::Timer2Timer(QObject* /*Sender*/) {
    Core_.Link().OnTick();
}

// Automatic send when Sender is Timer1, manual when it is a button (the
// options dialog's "Send").
void TfMain::Timer1Timer(QObject* Sender) {
    Core_.Upload().Send(/*manual=*/qobject_cast<QAbstractButton*>(Sender) != nullptr);
}
