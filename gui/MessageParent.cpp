#include "gui/MessageParent.h"

#include <QPointer>
#include <QWidget>
#include <utility>

namespace {
QPointer<QWidget> g_parent; // the window of the box about to be shown
} // namespace

platform::MsgResult ShowMessageOver(QWidget* parent, const platform::MessageRequest& request) {
    // Nested calls (a box from within another's loop) put the outer window back.
    struct Restore {
        QPointer<QWidget> Outer;
        ~Restore() { g_parent = Outer; }
    } restore{std::exchange(g_parent, parent)};
    return platform::ShowMessage(request);
}

QWidget* TakeMessageParent() {
    return std::exchange(g_parent, nullptr).data();
}
