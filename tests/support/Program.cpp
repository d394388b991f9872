#include "support/Program.h"

namespace {
TKelvoxCore* g_core = nullptr;
}

TKelvoxCore& Core() {
    return *g_core;
}

TLink& Link() {
    return g_core->Link();
}

void BuildProgram(CoreDeps deps) {
    g_core = new TKelvoxCore(std::move(deps));
    fMain = new TfMain(*g_core);
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
