#include "platform/Clock.h"

#include <atomic>
#include <ctime>

namespace platform {
namespace {
// UTC milliseconds from which the zone is looked at again: the next local
// midnight, or 0 (at once).
std::atomic<qint64> zoneCheckDue{0};

} // namespace

// QDateTime::currentDateTime() has Qt call tzset() (a stat of
// /etc/localtime) for every reading; localtime_r() keeps the zone it has.
QDateTime Now() {
    const qint64 ms = QDateTime::currentMSecsSinceEpoch();
    if (ms >= zoneCheckDue.load(std::memory_order_relaxed))
        tzset();
    const std::time_t seconds = static_cast<std::time_t>(ms / 1000);
    std::tm local{};
    if (!localtime_r(&seconds, &local))
        return QDateTime::fromMSecsSinceEpoch(ms, Qt::UTC);
    const qint64 sinceMidnightMs =
        (local.tm_hour * 3600LL + local.tm_min * 60LL + local.tm_sec) * 1000 + ms % 1000;
    zoneCheckDue.store(ms - sinceMidnightMs + 24LL * 3600 * 1000, std::memory_order_relaxed);
    return QDateTime::fromMSecsSinceEpoch(ms, Qt::OffsetFromUTC, static_cast<int>(local.tm_gmtoff));
}

void RefreshTimeZone() {
    zoneCheckDue.store(0, std::memory_order_relaxed);
}

} // namespace platform
