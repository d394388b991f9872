// The program's core alone, without windows, around one serial port: COM1
// is a pseudo-terminal whose other side the test plays, or, with
// UseFakePorts(), a scripted fake port. The core gets its parts passed in:
// a clock the test sets, the application directory of the test, the minute
// length and the fetch. A message box recorder stands in for the desktop.
// Main thread.
#pragma once

#include "core/Core.h"
#include "platform/AppPaths.h"
#include "platform/FormatSettings.h"
#include "platform/MessageBox.h"
#include "support/FakeCommDevice.h"
#include "support/Pty.h"
#include "support/TestEnvironment.h"

#include <QFile>
#include <QStringList>
#include <QTemporaryDir>
#include <QTest>
#include <functional>
#include <gtest/gtest.h>
#include <memory>
#include <vector>

class CoreFixture : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(Home.isValid());
        platform::FormatSettings::SetCurrent(platform::FormatSettings()); // '.' decimals
        platform::SetMessageHook([this](const platform::MessageRequest& r) {
            Boxes.push_back(r);
            if (InsideBox)
                InsideBox();
            return platform::MsgResult::Ok;
        });
    }
    void TearDown() override {
        Stop();
        Fakes.reset();
    }

    platform::AppPaths Paths() const { return {Home.path()}; }
    // COM1 becomes a scripted fake port (call before Start).
    std::shared_ptr<FakeCommPort> UseFakePorts() {
        Fakes = std::make_unique<FakeCommPorts>();
        return Fakes->Add(1);
    }
    void LinkPty() { Ports.Link(1, Pty.SlavePath()); }

    // Builds the core with Deps and starts it with this settings file.
    void Start(const QByteArray& ini = {}) {
        if (!ini.isEmpty()) {
            QFile f(Paths().IniPath());
            ASSERT_TRUE(f.open(QIODevice::WriteOnly));
            f.write(ini);
        }
        CoreDeps deps = Deps;
        deps.Clock = [this] { return Now; };
        deps.Paths = Paths();
        Core_ = std::make_unique<TKelvoxCore>(std::move(deps));
        QObject::connect(&Core_->Log(), &TEventLog::LineAdded, Core_.get(),
                         [this](const QString& line, const QString& text) {
                             Lines << line;
                             Texts << text;
                         });
        Core_->Start();
    }
    void Stop() { Core_.reset(); }
    TKelvoxCore& Core() { return *Core_; }
    TLink& Link() { return Core_->Link(); }

    // Event log lines without their time stamps, and with them.
    QStringList Log() const { return Texts; }
    QStringList LogLines() const { return Lines; }
    // The log without the lines that name a failed open's device and cause
    // ("ERR  /dev/...: no such file"), for tests of what the link does.
    QStringList Events() const {
        QStringList lines = Texts;
        lines.removeIf([](const QString& l) { return l.startsWith(QStringLiteral("ERR  /")); });
        return lines;
    }
    bool WaitForLog(const QString& text, int timeoutMs = 10000) {
        return QTest::qWaitFor([&] { return Texts.contains(text); }, timeoutMs);
    }
    // The connect toggle as the user presses it.
    void Connect() { Link().Toggle(TLink::Caller::User); }

    static inline const QString kOpened = QStringLiteral("OK  Serial port COM1 opened.");
    static inline const QString kClosed = QStringLiteral("OK  Serial port closed!");
    static inline const QString kCantOpen = QStringLiteral("ERR  Port can't be opened!");
    static inline const QString kLineError = QStringLiteral("ERR  Error on serial port!");
    static inline const QString kSilent = QStringLiteral("ERR  Measure error(No data for 30 sec)");
    static inline const QString kChoose = QStringLiteral("At first choose COM port");

    // What the core is built with (the clock and paths are the fixture's).
    CoreDeps Deps{{}, {}, 60000, {}, {}};
    QDateTime Now{QDate(2026, 7, 3), QTime(14, 5, 9)};
    PortDir Ports;
    TestPty Pty;
    std::unique_ptr<FakeCommPorts> Fakes;
    QTemporaryDir Home;
    std::vector<platform::MessageRequest> Boxes;
    // Runs inside every message box, as the box's modal loop would run
    // timers and serial events.
    std::function<void()> InsideBox;

private:
    // Restores what SetUp changed, after TearDown.
    TestEnvironment Env_;
    std::unique_ptr<TKelvoxCore> Core_;
    QStringList Lines;
    QStringList Texts;
};
