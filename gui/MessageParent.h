// Message boxes over a window of the windows' choosing: the requests the
// core and the platform make name no window, so the windows place a box over
// one here. Main thread.
#pragma once

#include "platform/MessageBox.h"

class QWidget;

// Shows a message box modal over parent (a window, or null) through
// platform::ShowMessage, so that a recorder a test installs sees it as any
// other.
platform::MsgResult ShowMessageOver(QWidget* parent, const platform::MessageRequest& request);

// The window that the box about to be shown is to be modal over (null: none).
// Taken once, by the box or a test's recorder: a box shown from within that
// box's own loop is over no window unless it asks for one.
QWidget* TakeMessageParent();
