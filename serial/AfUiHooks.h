// What the serial component asks of a user interface, when there is one:
// the busy cursor while a port opens, the release of a mouse grab before an
// error box, and the port settings dialog. The windows install their
// implementation at start; without one (headless, or a library user
// without windows) these do nothing and the dialog is refused.
//
// Install before the first port exists; called on the main thread.
#pragma once

#include "platform/WinTypes.h"

#include <QString>
#include <functional>

namespace af {

struct UiHooks {
    std::function<void(bool busy)> BusyCursor;
    std::function<void()> ReleaseMouseGrab;
    // Shows the settings dialog of port `name` over the active window; true
    // when the user accepted `config`.
    std::function<bool(const QString& name, win::COMMCONFIG& config)> ConfigDialog;
};

void SetUiHooks(UiHooks hooks);
const UiHooks& Ui();

} // namespace af
