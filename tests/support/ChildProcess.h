// Helpers for tests that run the program as a separate process.
#pragma once

#include <QtGlobal>

// True once process pid has a handler installed for signo (its SigCgt mask
// in /proc), so a signal sent now is caught instead of killing it. Gives up
// after 30 s.
bool WaitUntilCatching(qint64 pid, int signo);
