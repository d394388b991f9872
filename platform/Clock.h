// The wall clock as the program reads it. Tests replace it to cross a day
// boundary or to pin file names; main thread use only while replaced.
#pragma once

#include <QDateTime>
#include <functional>

namespace platform {

// The current local date and time, carrying its offset from UTC. Reading it
// looks at no time zone file: the C library's zone, loaded at the first call,
// is looked at again only when the local day changes and at
// RefreshTimeZone(). Any thread.
QDateTime Now();

// Looks at the system's time zone again (the settings were reloaded: the
// administrator may have changed it too). Any thread.
void RefreshTimeZone();

// Replaces the clock; an empty function restores the real one.
void SetClockForTests(std::function<QDateTime()> clock);

} // namespace platform
