#include "platform/MessageBox.h"

#include <QApplication>
#include <QMessageBox>
#include <atomic>
#include <cstdio>
#include <stdexcept>

namespace platform {
namespace {
std::atomic<bool> g_headless{false};
MessageHook& hook() {
    static MessageHook h;
    return h;
}

QMessageBox::Icon toQt(MsgIcon icon) {
    switch (icon) {
    case MsgIcon::Information:
        return QMessageBox::Information;
    case MsgIcon::Warning:
        return QMessageBox::Warning;
    case MsgIcon::Error:
        return QMessageBox::Critical;
    case MsgIcon::Question:
        return QMessageBox::Question;
    case MsgIcon::None:
        break;
    }
    return QMessageBox::NoIcon;
}

MsgResult defaultResult(MsgButtons buttons) {
    return buttons == MsgButtons::YesNo ? MsgResult::Yes : MsgResult::Ok;
}
} // namespace

QString ApplicationTitle() {
    return QStringLiteral("Kelvox");
}

void SetHeadless(bool headless) {
    g_headless = headless;
}
bool IsHeadless() {
    return g_headless;
}

void SetMessageHook(MessageHook h) {
    hook() = std::move(h);
}

MsgResult ShowMessage(const MessageRequest& request) {
    if (hook())
        return hook()(request);
    if (IsHeadless() || !qApp) {
        const QByteArray caption = request.Caption.toLocal8Bit();
        const QByteArray text = request.Text.toLocal8Bit();
        if (caption.isEmpty())
            std::fprintf(stderr, "%s\n", text.constData());
        else
            std::fprintf(stderr, "%s: %s\n", caption.constData(), text.constData());
        std::fflush(stderr);
        return defaultResult(request.Buttons);
    }
    QMessageBox box(toQt(request.Icon), request.Caption, request.Text, QMessageBox::NoButton,
                    request.Parent);
    switch (request.Buttons) {
    case MsgButtons::Ok:
        box.addButton(QMessageBox::Ok);
        break;
    case MsgButtons::OkCancel:
        box.addButton(QMessageBox::Ok);
        box.addButton(QMessageBox::Cancel);
        break;
    case MsgButtons::YesNo:
        box.addButton(QMessageBox::Yes);
        box.addButton(QMessageBox::No);
        break;
    }
    switch (box.exec()) {
    case QMessageBox::Cancel:
        return MsgResult::Cancel;
    case QMessageBox::Yes:
        return MsgResult::Yes;
    case QMessageBox::No:
        return MsgResult::No;
    default:
        return MsgResult::Ok;
    }
}

QString ExceptionText(std::exception_ptr error) {
    try {
        if (error)
            std::rethrow_exception(error);
    } catch (const std::exception& e) {
        return QString::fromLocal8Bit(e.what());
    } catch (...) {
    }
    return QStringLiteral("Unknown error");
}

void HandleApplicationException(std::exception_ptr error) {
    MessageRequest r;
    r.Text = ExceptionText(error);
    r.Caption = ApplicationTitle();
    r.Icon = MsgIcon::Error;
    ShowMessage(r);
}

void HandleApplicationException(const std::exception& error) {
    MessageRequest r;
    r.Text = QString::fromLocal8Bit(error.what());
    r.Caption = ApplicationTitle();
    r.Icon = MsgIcon::Error;
    ShowMessage(r);
}

} // namespace platform
