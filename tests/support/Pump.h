// Main-thread helpers for tests whose results arrive as queued hand-offs:
// they run the Qt event loop in short slices instead of sleeping blindly.
// Call from the main (GUI) thread only.
#pragma once

#include "support/Deadline.h"

#include <chrono>
#include <functional>

// Processes events until cond() holds; false when timeoutMs passed first.
bool PumpUntil(const std::function<bool()>& cond, int timeoutMs = TestDeadlineMs);
// Processes events for the whole span (to show that nothing more arrives).
void PumpFor(std::chrono::milliseconds span);
