// The program's modules, loaded only when they are needed: the windows
// (kelvox-gui.so, when a display is used; see main.cpp) and the URL fetch
// (kelvox-net.so, at the first send; net/NetModule.h). Where they are found,
// and the one function the windows module exports.
#pragma once

#include <QString>

namespace kelvox {

// int kelvox_gui_main(int argc, char** argv): builds the application object
// with its windows and runs the program; returns the exit code.
using GuiMainFunction = int (*)(int, char**);
inline constexpr const char* GuiMainSymbol = "kelvox_gui_main";

// A module of the program (kelvox-gui.so, kelvox-net.so): beside the
// executable (a build or portable copy), else the installed one relative to
// it (bin/ -> lib/<arch>/kelvox/).
QString ModulePath(const QString& name);
inline QString GuiModulePath() {
    return ModulePath(QStringLiteral(KELVOX_GUI_MODULE_NAME));
}

} // namespace kelvox
