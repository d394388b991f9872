// The process-wide settings that the program's tests change (the
// application directory and minute length in the environment, the number
// and date formats, the clock, the message box hook), restored as they were
// when this goes. A fixture holds one as a member and sets what it needs in
// SetUp; the restore then runs after its TearDown. Main thread.
#pragma once

#include "platform/Clock.h"
#include "platform/FormatSettings.h"
#include "platform/MessageBox.h"

#include <QByteArray>
#include <QtGlobal>

class TestEnvironment {
public:
    TestEnvironment()
        : Home_(qgetenv("KELVOX_HOME")), HadHome_(qEnvironmentVariableIsSet("KELVOX_HOME")),
          MinuteMs_(qgetenv("KELVOX_MINUTE_MS")),
          HadMinuteMs_(qEnvironmentVariableIsSet("KELVOX_MINUTE_MS")),
          Formats_(platform::FormatSettings::Current()) {}
    ~TestEnvironment() {
        platform::SetMessageHook({});
        platform::FormatSettings::SetCurrent(Formats_);
        restore("KELVOX_HOME", Home_, HadHome_);
        restore("KELVOX_MINUTE_MS", MinuteMs_, HadMinuteMs_);
    }
    TestEnvironment(const TestEnvironment&) = delete;
    TestEnvironment& operator=(const TestEnvironment&) = delete;

private:
    static void restore(const char* name, const QByteArray& value, bool had) {
        if (had)
            qputenv(name, value);
        else
            qunsetenv(name);
    }
    QByteArray Home_;
    bool HadHome_;
    QByteArray MinuteMs_;
    bool HadMinuteMs_;
    platform::FormatSettings Formats_;
};
