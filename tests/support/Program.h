// The whole program for tests of the windows: the core with both windows
// around it, as the windows module builds them. Main thread.
#pragma once

#include "core/Core.h"
#include "gui/TrayShell.h"
#include "gui/uMain.h"
#include "gui/uSettings.h"

// The core of the program built by BuildProgram(), or null.
TKelvoxCore& Core();
TLink& Link();

// The core, fMain and fSettings (the settings not read yet); deps.Paths
// names the test's application directory. The tray icon goes through
// `tray`, or without one through DesktopTray().
void BuildProgram(CoreDeps deps, TrayShell* tray = nullptr);
// The desktop's notification area the windows module would make (one per
// test process: on the offscreen platform it refuses every icon).
QtTrayShell& DesktopTray();
// Reads the settings file and applies it, as at start.
void LoadSettings();
// fSettings, fMain and the core, in that order.
void DestroyProgram();
