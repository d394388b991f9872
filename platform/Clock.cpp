#include "platform/Clock.h"

namespace platform {
namespace {
std::function<QDateTime()>& override() {
    static std::function<QDateTime()> clock;
    return clock;
}
} // namespace

QDateTime Now() {
    if (override())
        return override()();
    return QDateTime::currentDateTime();
}

void SetClockForTests(std::function<QDateTime()> clock) {
    override() = std::move(clock);
}

} // namespace platform
