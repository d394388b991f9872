#include "platform/MessageBox.h"

#include "platform/OutputEcho.h"

#include <QCoreApplication>
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
MessageHook& presenter() {
    static MessageHook p;
    return p;
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

void SetMessagePresenter(MessageHook p) {
    presenter() = std::move(p);
}

MsgResult ShowMessage(const MessageRequest& request) {
    if (hook())
        return hook()(request);
    if (!IsHeadless() && presenter() && QCoreApplication::instance())
        return presenter()(request);
    const QByteArray caption = request.Caption.toLocal8Bit();
    const QByteArray text = request.Text.toLocal8Bit();
    const QByteArray prefix = ErrorPrefix().toLatin1();
    if (caption.isEmpty())
        std::fprintf(stderr, "%s%s\n", prefix.constData(), text.constData());
    else
        std::fprintf(stderr, "%s%s: %s\n", prefix.constData(), caption.constData(),
                     text.constData());
    std::fflush(stderr);
    return defaultResult(request.Buttons);
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
