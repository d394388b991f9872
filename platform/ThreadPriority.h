// Worker thread priorities and their Linux stand-in: per-thread nice values.
#pragma once

#include <cstdint>
#include <sys/types.h>

// Ordinals 0 to 6, stored in one byte.
enum TThreadPriority : std::uint8_t {
    tpIdle,
    tpLowest,
    tpLower,
    tpNormal,
    tpHigher,
    tpHighest,
    tpTimeCritical
};

namespace platform {

// Nice value standing for a priority: tpIdle 19, tpLowest 10, tpLower 5,
// tpNormal 0, tpHigher -5, tpHighest -10, tpTimeCritical -15. A value outside
// the enumeration is taken as tpNormal.
int PriorityToNice(TThreadPriority priority);

// Sets the nice value of the thread with kernel id `tid` (not of the
// process). Raising the priority needs privileges the program usually lacks;
// a refused raise leaves the thread as it was and is otherwise ignored.
// Returns true when the thread now runs at the requested nice value.
bool SetThreadPriority(pid_t tid, TThreadPriority priority);

} // namespace platform
