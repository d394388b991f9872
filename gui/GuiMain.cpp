#include "gui/GuiMain.h"

#include "gui/AfPortConfigDialog.h"
#include "gui/MessageParent.h"
#include "platform/MessageBox.h"
#include "serial/AfUiHooks.h"

#include <QApplication>
#include <QCursor>
#include <QMessageBox>
#include <QWidget>

namespace {

QMessageBox::Icon toQt(platform::MsgIcon icon) {
    switch (icon) {
    case platform::MsgIcon::Information:
        return QMessageBox::Information;
    case platform::MsgIcon::Warning:
        return QMessageBox::Warning;
    case platform::MsgIcon::Error:
        return QMessageBox::Critical;
    case platform::MsgIcon::Question:
        return QMessageBox::Question;
    case platform::MsgIcon::None:
        break;
    }
    return QMessageBox::NoIcon;
}

platform::MsgResult showBox(const platform::MessageRequest& request) {
    QMessageBox box(toQt(request.Icon), request.Caption, request.Text, QMessageBox::NoButton,
                    TakeMessageParent());
    switch (request.Buttons) {
    case platform::MsgButtons::Ok:
        box.addButton(QMessageBox::Ok);
        break;
    case platform::MsgButtons::OkCancel:
        box.addButton(QMessageBox::Ok);
        box.addButton(QMessageBox::Cancel);
        break;
    case platform::MsgButtons::YesNo:
        box.addButton(QMessageBox::Yes);
        box.addButton(QMessageBox::No);
        break;
    }
    switch (box.exec()) {
    case QMessageBox::Cancel:
        return platform::MsgResult::Cancel;
    case QMessageBox::Yes:
        return platform::MsgResult::Yes;
    case QMessageBox::No:
        return platform::MsgResult::No;
    default:
        return platform::MsgResult::Ok;
    }
}

} // namespace

void InstallGuiServices() {
    platform::SetMessagePresenter(showBox);
    af::UiHooks hooks;
    hooks.BusyCursor = [](bool busy) {
        if (busy)
            QGuiApplication::setOverrideCursor(QCursor(Qt::WaitCursor));
        else
            QGuiApplication::restoreOverrideCursor();
    };
    hooks.ReleaseMouseGrab = [] {
        if (QWidget* grabber = QWidget::mouseGrabber())
            grabber->releaseMouse();
    };
    hooks.ConfigDialog = [](const QString& name, win::COMMCONFIG& config) {
        return af::CommConfigDialog(name, QApplication::activeWindow(), config);
    };
    af::SetUiHooks(std::move(hooks));
}
