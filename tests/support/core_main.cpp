// Test entry point for the programs that test what runs without a display:
// a QCoreApplication exists for every test, so timers, queued calls and
// event loops work, and no part of Qt's GUI is linked or needed.
#include <QCoreApplication>
#include <gtest/gtest.h>

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName("Kelvox");
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
