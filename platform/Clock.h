// The wall clock as the program reads it. The core is handed it as a
// function (CoreDeps::Clock), which tests replace with their own clock.
#pragma once

#include <QDateTime>

namespace platform {

// The current local date and time, carrying its offset from UTC. Reading it
// looks at no time zone file: the C library's zone, loaded at the first call,
// is looked at again only when the local day changes and at
// RefreshTimeZone(). Any thread.
QDateTime Now();

// Looks at the system's time zone again (the settings were reloaded: the
// administrator may have changed it too). Any thread.
void RefreshTimeZone();

} // namespace platform
