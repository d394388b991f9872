// Test entry point for the tests of the windows: a QApplication exists for
// every test (offscreen platform, set by CTest), so widgets, timers and
// queued calls work.
#include "gui/GuiMain.h"

#include <QApplication>
#include <gtest/gtest.h>

int main(int argc, char** argv) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    QApplication::setApplicationName("Kelvox");
    InstallGuiServices();
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
