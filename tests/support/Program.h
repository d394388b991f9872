// The whole program for tests of the windows: the core with both windows
// around it, as the windows module builds them. Main thread.
#pragma once

#include "app/uMain.h"
#include "monitor/Core.h"
#include "settings/uSettings.h"

// The core of the program built by BuildProgram(), or null.
TKelvoxCore& Core();
TLink& Link();

// The core, fMain and fSettings (the settings not read yet).
void BuildProgram(CoreDeps deps = {});
// Reads the settings file and applies it, as at start.
void LoadSettings();
// fSettings, fMain and the core, in that order.
void DestroyProgram();
