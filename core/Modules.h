// The program's modules, loaded only when they are needed: the windows
// (kelvox-gui.so, when a display is used; see main.cpp) and the URL fetch
// (kelvox-net.so, at the first send; core/NetModule.h). Where they are found,
// and the one function the windows module exports.
#pragma once

#include <QString>

namespace kelvox {

// int kelvox_gui_main(int argc, char** argv): builds the application object
// with its windows and runs the program; returns the exit code.
using GuiMainFunction = int (*)(int, char**);
inline constexpr const char* GuiMainSymbol = "kelvox_gui_main";

// A module of the program (kelvox-gui.so, kelvox-net.so), from one of two
// places only: beside the executable (a build or portable copy), else the
// absolute install directory fixed at build time. Never a path relative to
// the executable elsewhere: a copy run from /tmp/x would then load whatever
// any local user put into /tmp/lib. A module found there that another user
// could have written (the file or its folder writable by group or others, or
// owned by neither root nor this process's user) is refused: its code would
// run as this program's user. Empty when there is none or it is refused;
// *error then names the file and why. Any thread.
QString ModulePath(const QString& name, QString* error = nullptr);
inline QString GuiModulePath(QString* error = nullptr) {
    return ModulePath(QStringLiteral(KELVOX_GUI_MODULE_NAME), error);
}

} // namespace kelvox
