#include "support/Program.h"

#include "net/uHTML.h"

namespace {
TKelvoxCore* g_core = nullptr;
}

TKelvoxCore& Core() {
    return *g_core;
}

TLink& Link() {
    return g_core->Link();
}

QtTrayShell& DesktopTray() {
    static QtTrayShell desktop;
    return desktop;
}

void BuildProgram(CoreDeps deps, TrayShell* tray) {
    // The fetch linked in, rather than the module the program loads.
    if (!deps.Fetch)
        deps.Fetch = NewUrlFetcher();
    g_core = new TKelvoxCore(std::move(deps));
    fMain = new TfMain(*g_core, tray ? *tray : DesktopTray());
    fSettings = new TfSettings(*g_core);
}

void LoadSettings() {
    g_core->Start();
}

void DestroyProgram() {
    delete fSettings;
    fSettings = nullptr;
    delete fMain;
    fMain = nullptr;
    delete g_core;
    g_core = nullptr;
}
