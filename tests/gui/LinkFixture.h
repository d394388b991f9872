// The whole program (fMain, fSettings, settings loaded) around one serial
// port: COM1 is a pseudo-terminal whose other side the test plays. A
// recording tray shell and a message box recorder stand in for the desktop.
#pragma once

#include "gui/MessageParent.h"
#include "gui/uMain.h"
#include "gui/uSettings.h"
#include "gui/uTrayIcon.h"
#include "platform/AppPaths.h"
#include "platform/Clock.h"
#include "platform/FormatSettings.h"
#include "platform/MessageBox.h"
#include "serial/AfComPort.h"
#include "support/FakeTrayShell.h"
#include "support/Program.h"
#include "support/Pty.h"
#include "support/TestEnvironment.h"

#include <QFile>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QStringList>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <functional>
#include <gtest/gtest.h>
#include <memory>
#include <vector>

class LinkFixture : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(Home.isValid());
        platform::FormatSettings::SetCurrent(platform::FormatSettings()); // '.' decimals
        platform::SetMessageHook([this](const platform::MessageRequest& r) {
            Boxes.push_back(r);
            Parents.push_back(TakeMessageParent());
            return platform::MsgResult::Ok;
        });
    }
    void TearDown() override { Stop(); }

    platform::AppPaths Paths() const { return {Home.path()}; }

    void LinkPty() { Ports.Link(1, Pty.SlavePath()); }

    // Starts the program with this settings file. The blink tick is held off
    // unless asked for, so that tests drive it themselves.
    void Start(const QByteArray& ini = {}, bool realTicks = false) {
        if (!ini.isEmpty()) {
            QFile f(Paths().IniPath());
            ASSERT_TRUE(f.open(QIODevice::WriteOnly));
            f.write(ini);
        }
        CoreDeps deps;
        deps.Paths = Paths();
        deps.Clock = [this] { return Clock(); };
        deps.MinuteMs = 60000;
        BuildProgram(std::move(deps), &Tray);
        if (!realTicks)
            Link().SetIconShown(false);
        LoadSettings();
    }
    void Stop() { DestroyProgram(); }

    // Event log lines without their time stamps.
    static QStringList Log() {
        QStringList lines;
        if (!fMain)
            return lines;
        for (const QString& line : fMain->Memo1->toPlainText().split(u'\n', Qt::SkipEmptyParts))
            lines << line.mid(line.indexOf(QStringLiteral(" >  ")) + 4);
        return lines;
    }
    // The log without the lines that name a failed open's device and cause
    // ("ERR  /dev/...: no such file"), for tests of what the link does.
    static QStringList Events() {
        QStringList lines = Log();
        lines.removeIf([](const QString& l) { return l.startsWith(QStringLiteral("ERR  /")); });
        return lines;
    }
    static bool WaitForLog(const QString& text, int timeoutMs = 10000) {
        return QTest::qWaitFor([&] { return Log().contains(text); }, timeoutMs);
    }
    static void Ticks(int n) {
        for (int i = 0; i < n; ++i)
            fMain->Timer2Timer(fMain->Timer2);
    }
    static void Connect() { fSettings->bConn->click(); }

    static inline const QString kOpened = QStringLiteral("OK  Serial port COM1 opened.");
    static inline const QString kClosed = QStringLiteral("OK  Serial port closed!");
    static inline const QString kCantOpen = QStringLiteral("ERR  Port can't be opened!");
    static inline const QString kChoose = QStringLiteral("At first choose COM port");

    FakeTrayShell Tray; // before the windows: the icon is added at construction
    PortDir Ports;
    TestPty Pty;
    QTemporaryDir Home;
    // The core's clock.
    std::function<QDateTime()> Clock = [] { return QDateTime(QDate(2026, 7, 3), QTime(14, 5, 9)); };
    std::vector<platform::MessageRequest> Boxes;
    std::vector<QWidget*> Parents; // the window each box was over

private:
    // Restores what SetUp changed, after TearDown.
    TestEnvironment Env_;
};
