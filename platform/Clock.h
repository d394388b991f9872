// The wall clock as the program reads it. Tests replace it to cross a day
// boundary or to pin file names; main thread use only while replaced.
#pragma once

#include <QDateTime>
#include <functional>

namespace platform {

// The current local date and time.
QDateTime Now();

// Replaces the clock; an empty function restores the real one.
void SetClockForTests(std::function<QDateTime()> clock);

} // namespace platform
