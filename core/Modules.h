// The libraries loaded only when they are needed: the windows
// (KELVOX_GUI_MODULE_NAME, when a display is used; see app/main.cpp), the URL
// fetch (KELVOX_NET_MODULE_NAME, at the first send; core/NetModule.h) and
// libmosquitto (when MQTT is switched on; core/MosquittoLib.h). Where the
// program's own modules are found, how each is loaded, and the one function
// the windows module exports.
#pragma once

#include <QString>

namespace platform {
struct AppPaths;
}

namespace kelvox {

// int kelvox_gui_main(int argc, char** argv, const platform::AppPaths&):
// builds the application object with its windows and runs the program on
// the application directory main() looked up; returns the exit code.
using GuiMainFunction = int (*)(int, char**, const platform::AppPaths&);
inline constexpr const char* GuiMainSymbol = "kelvox_gui_main";

// The program's modules (kelvox-gui.so, kelvox-net.so) come from one of two
// places only: beside the executable (a build or portable copy), else the
// absolute install directory fixed at build time. Never a path relative to
// the executable elsewhere: a copy run from /tmp/x would then load whatever
// any local user put into /tmp/lib. A module that another user could have
// written (the file, or a folder on its way up to "/", writable by group or
// others without the sticky bit, or owned by neither root nor this
// process's user) is refused: its code would run as this program's user.

// A shared library loaded on demand and kept loaded for the rest of the run
// (the code of what it made stays in use until exit). Any thread.
class Module {
public:
    // One of the program's modules: opened once, checked as it is open and
    // loaded from that very file, so that nothing can be swapped in between.
    static Module Program(const QString& name);
    // A library of the system by its soname ("libmosquitto.so.1"), where the
    // dynamic linker looks for it.
    static Module System(const char* soname);

    bool Loaded() const { return Handle_ != nullptr; }
    // The module's file; empty for a system library and when none was
    // found or it was refused.
    const QString& Path() const { return Path_; }
    // Why it is not loaded: what was refused or not found (the real file or
    // folder, never a link to it), or the dynamic linker's cause after
    // "<path>: ".
    const QString& Error() const { return Error_; }
    // The function `name` of the loaded library; null when it has none.
    template <class Function> Function Symbol(const char* name) const {
        return reinterpret_cast<Function>(Address(name));
    }

private:
    void* Address(const char* name) const;

    void* Handle_ = nullptr;
    QString Path_;
    QString Error_;
};

} // namespace kelvox
