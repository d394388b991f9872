// The entry of the windows module (kelvox-gui.so), which the executable
// loads when a display is used: the QApplication, the desktop services and
// the two windows around the program's core.
#include "core/Core.h"
#include "core/Program.h"
#include "gui/GuiMain.h"
#include "gui/TrayShell.h"
#include "gui/uMain.h"
#include "gui/uMainInstance.h"
#include "gui/uSettings.h"
#include "platform/AppPaths.h"
#include "platform/MessageBox.h"

#include <QApplication>

namespace {

class WindowViews : public ProgramViews {
public:
    void Build(TKelvoxCore& core) override {
        // The desktop's notification area, made with the application object.
        TrayShell_ = std::make_unique<QtTrayShell>();
        fMain = new TfMain(core, *TrayShell_);
        fSettings = new TfSettings(core);
        // This instance holds the lock: a later start asks it to show.
        QString error;
        if (!fMain->ServeOtherStarts(InstanceSocketPath(core.Paths().Dir), &error))
            core.Log().Add(QStringLiteral("ERR  ") + error);
    }
    bool AskRunningInstanceToShow(const QString& appDir) override {
        return ::AskRunningInstanceToShow(InstanceSocketPath(appDir));
    }
    void Show() override { fMain->show(); }
    void CloseBySignal() override { fMain->CloseBySignal(); }
    void Teardown() override {
        delete fSettings;
        fSettings = nullptr;
        delete fMain;
        fMain = nullptr;
    }

private:
    std::unique_ptr<QtTrayShell> TrayShell_; // outlives fMain
};

} // namespace

extern "C" __attribute__((visibility("default"))) int
kelvox_gui_main(int argc, char** argv, const platform::AppPaths& paths) {
    GuardedApplication<QApplication> app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Kelvox"));
    QGuiApplication::setDesktopFileName(QStringLiteral("org.kelvox.Kelvox"));
    // Hidden in the tray is not closed: only closing fMain ends the program.
    QApplication::setQuitOnLastWindowClosed(false);
    InstallGuiServices();
    WindowViews views;
    return RunProgram(app, &views, paths);
}
